#include "handoff/nativehost.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

std::string frame(std::string_view payload, int64_t announced = -1)
{
    const auto length = uint32_t(announced < 0 ? int64_t(payload.size()) : announced);
    return std::string(reinterpret_cast<const char*>(&length), sizeof length).append(payload);
}

// Every kind of frame a browser, or something posing as one, may send: what each read returns
// up to the first that is not a whole frame, and per whole frame its refusal or link count.
TEST(NativeHost, EachFrameIsReadWholeOrRefusedWithItsReasonAndAnswersStayUnderTheLimit)
{
    const std::string shape = R"(The message is not an object with "links", a list of objects each with a "url" text.)";
    const std::string json = "The message is not valid JSON.", utf8 = "The message is not UTF-8 text.";
    struct Row { const char* name; std::string input; std::vector<int> reads; std::vector<std::string> texts; };
    const Row rows[] = {
        {"nothing", "", {NATIVE_END}, {}},
        {"two good frames", frame(R"({"links":[{"url":"http://a/b.zip","referrer":"http://a/","cookieHeader":"s=1"}]})") +
             frame(R"({"links":[],"extra":1})"), {NATIVE_FRAME, NATIVE_FRAME, NATIVE_END}, {"1", "0"}},
        {"half a length", std::string("\x05\x00", 2), {NATIVE_CUT}, {}},
        {"length 0xFFFFFFFF", frame("{}", 0xFFFFFFFF), {NATIVE_TOO_LARGE}, {}},
        {"one byte over 1 MB", frame("{}", NATIVE_FRAME_LIMIT + 1), {NATIVE_TOO_LARGE}, {}},
        {"longer than what follows", frame(R"({"links":[]})", 40), {NATIVE_CUT}, {}},
        {"empty, then bad JSON", frame("") + frame(R"({"links":[)"), {NATIVE_FRAME, NATIVE_FRAME, NATIVE_END}, {json, json}},
        {"Latin-1 byte", frame("{\"links\":[{\"url\":\"http://a/\xE9.zip\"}]}"), {NATIVE_FRAME, NATIVE_END}, {utf8}},
        {"overlong slash", frame("{\"links\":[{\"url\":\"http://a/\xC0\xAF\"}]}"), {NATIVE_FRAME, NATIVE_END}, {utf8}},
        {"encoded surrogate", frame("{\"links\":[{\"url\":\"\xED\xA0\x80\"}]}"), {NATIVE_FRAME, NATIVE_END}, {utf8}},
        {"a cookie header that is a list", frame(R"({"links":[{"url":"http://a/b","cookieHeader":[]}]})"),
         {NATIVE_FRAME, NATIVE_END}, {shape}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FILE* input = std::tmpfile();
        std::fwrite(row.input.data(), 1, row.input.size(), input);
        std::rewind(input);
        std::vector<int> reads;
        std::vector<std::string> texts;
        std::string payload;
        while (reads.empty() || reads.back() == NATIVE_FRAME) {
            reads.push_back(Native_ReadFrame(fileno(input), &payload));
            std::vector<HandoffLink> links;
            const std::string refusal = reads.back() == NATIVE_FRAME ? Native_DecodeMessage(payload, &links) : "-";
            if (refusal != "-")
                texts.push_back(refusal.empty() ? std::to_string(links.size()) : refusal);
        }
        std::fclose(input);
        EXPECT_EQ(std::pair(reads, texts), std::pair(row.reads, row.texts));
    }
    // An answer stays under the frame limit however many links a message held, leaving out the
    // results behind the first that does not fit.
    std::vector<NativeResult> results(20000, NativeResult{false, std::string(100, 'r')});
    results[0].added = results.back().added = true;   // the last one is short enough to fit
    const std::string answer = Native_EncodeAnswer(results);
    EXPECT_LT(answer.size(), NATIVE_FRAME_LIMIT);
    EXPECT_EQ(answer.rfind(R"({"added":2,"refused":19998,"omitted":11810,"results":[{"added":true},)", 0), 0u);
}

}  // namespace
