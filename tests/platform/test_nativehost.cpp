#include "platform/nativehost.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

std::string frame(std::string_view payload, uint32_t length)
{
    std::string bytes(reinterpret_cast<const char*>(&length), sizeof length);
    return bytes.append(payload);
}

std::string frame(std::string_view payload)
{
    return frame(payload, uint32_t(payload.size()));
}

// What a host reads from input, up to the first frame it cannot take whole.
struct Reading {
    std::vector<int> frames;          // what each Native_ReadFrame call returned, up to the end
    std::vector<std::string> texts;   // per whole frame: the refusal, or "links=N"
};

Reading readAll(const std::string& input)
{
    int pipe_[2];
    EXPECT_EQ(pipe(pipe_), 0);
    std::thread writer([&] {
        (void)!write(pipe_[1], input.data(), input.size());
        close(pipe_[1]);
    });
    Reading seen;
    std::string payload;
    for (int r = NATIVE_FRAME; r == NATIVE_FRAME;) {
        r = Native_ReadFrame(pipe_[0], &payload);
        seen.frames.push_back(r);
        if (r != NATIVE_FRAME)
            continue;
        std::vector<NativeLink> links;
        std::string refusal = Native_DecodeMessage(payload, &links);
        seen.texts.push_back(refusal.empty() ? "links=" + std::to_string(links.size()) : refusal);
    }
    writer.join();
    close(pipe_[0]);
    return seen;
}

const std::string SHAPE =
    "The message is not an object with \"links\", a list of objects each with a \"url\" text.";

// Every kind of frame a browser, or something posing as one, may send.
TEST(NativeHost, EachFrameIsReadWholeOrRefusedWithItsReason)
{
    std::string many = "{\"links\":[";
    for (int k = 0; k < 10000; ++k)
        many += (k ? "," : "") + std::string("{\"url\":\"http://127.0.0.1/f") + std::to_string(k) + ".zip\"}";
    many += "]}";
    struct Row { const char* name; std::string input; std::vector<int> frames; std::vector<std::string> texts; };
    const Row rows[] = {
        {"nothing", "", {NATIVE_END}, {}},
        {"two good frames",
         frame(R"({"links":[{"url":"http://a/b.zip","referrer":"http://a/","cookieHeader":"s=1"}]})") +
             frame(R"({"links":[],"extra":1})"),
         {NATIVE_FRAME, NATIVE_FRAME, NATIVE_END}, {"links=1", "links=0"}},
        {"10,000 links", frame(many), {NATIVE_FRAME, NATIVE_END}, {"links=10000"}},
        {"half a length", std::string("\x05\x00", 2), {NATIVE_CUT}, {}},
        {"length 0xFFFFFFFF", frame("{}", 0xFFFFFFFF), {NATIVE_TOO_LARGE}, {}},
        {"one byte over 1 MB", frame("{}", NATIVE_FRAME_LIMIT + 1), {NATIVE_TOO_LARGE}, {}},
        {"longer than what follows", frame(R"({"links":[]})", 40), {NATIVE_CUT}, {}},
        {"empty frame", frame(""), {NATIVE_FRAME, NATIVE_END}, {"The message is not valid JSON."}},
        {"bad JSON then a good frame", frame("{\"links\":[") + frame(R"({"links":[]})"),
         {NATIVE_FRAME, NATIVE_FRAME, NATIVE_END}, {"The message is not valid JSON.", "links=0"}},
        {"Latin-1 byte", frame("{\"links\":[{\"url\":\"http://a/\xE9.zip\"}]}"), {NATIVE_FRAME, NATIVE_END},
         {"The message is not UTF-8 text."}},
        {"overlong slash", frame("{\"links\":[{\"url\":\"http://a/\xC0\xAF.zip\"}]}"), {NATIVE_FRAME, NATIVE_END},
         {"The message is not UTF-8 text."}},
        {"encoded surrogate", frame("{\"links\":[{\"url\":\"http://a/\xED\xA0\x80\"}]}"), {NATIVE_FRAME, NATIVE_END},
         {"The message is not UTF-8 text."}},
        {"lone escaped surrogate", frame(R"({"links":[{"url":"http://a/\ud800"}]})"), {NATIVE_FRAME, NATIVE_END},
         {"The message is not valid JSON."}},
        {"an array", frame(R"([{"url":"http://a/b"}])"), {NATIVE_FRAME, NATIVE_END}, {SHAPE}},
        {"links not a list", frame(R"({"links":"http://a/b"})"), {NATIVE_FRAME, NATIVE_END}, {SHAPE}},
        {"a link without url", frame(R"({"links":[{"href":"http://a/b"}]})"), {NATIVE_FRAME, NATIVE_END}, {SHAPE}},
        {"a url that is a number", frame(R"({"links":[{"url":7}]})"), {NATIVE_FRAME, NATIVE_END}, {SHAPE}},
        {"a cookie header that is a list", frame(R"({"links":[{"url":"http://a/b","cookieHeader":[]}]})"),
         {NATIVE_FRAME, NATIVE_END}, {SHAPE}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reading seen = readAll(row.input);
        EXPECT_EQ(seen.frames, row.frames);
        EXPECT_EQ(seen.texts, row.texts);
    }
}

// An answer stays under the frame limit however many links a message held, and a closed pipe
// is a failed write, not a crash.
TEST(NativeHost, AnswersStayUnderTheLimitAndAClosedPipeFailsTheWrite)
{
    std::vector<NativeResult> results(20000, NativeResult{false, std::string(100, 'r')});
    results[0].added = true;
    std::string answer = Native_EncodeAnswer(results);
    EXPECT_LT(answer.size(), NATIVE_FRAME_LIMIT);
    EXPECT_EQ(answer.rfind("{\"added\":1,\"refused\":19999,\"omitted\":", 0), 0u);
    EXPECT_EQ(answer.find("\"omitted\":0"), std::string::npos);
    EXPECT_EQ(Native_EncodeAnswer({{true, ""}, {false, "Not a file"}}),
              R"({"added":1,"refused":1,"omitted":0,"results":[{"added":true},{"added":false,"reason":"Not a file"}]})");

    int pipe_[2];
    ASSERT_EQ(pipe(pipe_), 0);
    close(pipe_[0]);
    auto before = std::signal(SIGPIPE, SIG_IGN);
    EXPECT_FALSE(Native_WriteFrame(pipe_[1], answer));
    std::signal(SIGPIPE, before);
    close(pipe_[1]);
}

}  // namespace
