#include "handoff/codec.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// The payload of a whole frame, after its length has been checked against the frame.
std::string payloadOf(const std::string& frame)
{
    uint32_t length = 0;
    EXPECT_TRUE(Handoff_PayloadLength(frame.data(), &length));
    EXPECT_EQ(length + HANDOFF_HEADER_SIZE, frame.size());
    return frame.substr(HANDOFF_HEADER_SIZE);
}

TEST(Handoff, RequestsAndAnswersComeBackAsSentAndBytesThatAreNotUtf8TravelAsReplacements)
{
    const HandoffRequest request{{{"http://h/a\xC3\xA9.zip", "http://h/page", "a=1; b=2"}, {"ftp://h/\xFF", "", ""}},
                                 true, false};
    HandoffRequest got;
    ASSERT_TRUE(Handoff_DecodeRequest(payloadOf(Handoff_EncodeRequest(request)), &got));
    const HandoffLink& first = got.links[0];
    EXPECT_EQ(std::tuple(first.url, first.referrer, first.cookieHeader, got.links[1].url, got.downloadNow, got.raise,
                         got.list),
              std::tuple(request.links[0].url, "http://h/page", "a=1; b=2", "ftp://h/\xEF\xBF\xBD", true, false, false));

    const HandoffAnswer answer{{{"http://h/a", true, ""}, {"x", false, "too long"}}, {"http://h/a\t5\tready\t/d/a"}};
    HandoffAnswer back;
    ASSERT_TRUE(Handoff_DecodeAnswer(payloadOf(Handoff_EncodeAnswer(answer)), &back));
    EXPECT_EQ(std::tuple(back.results[1].reason, back.results[1].added, back.listLines),
              std::tuple("too long", false, answer.listLines));
}

TEST(Handoff, OnlyTheShapeItselfIsAcceptedAndNoFrameIsLongerThanTheLimit)
{
    const struct { const char* payload; bool request, answer; } rows[] = {
        {R"({})", true, true},   // every field has its default
        {R"({"list":true})", true, true},
        {R"({"links":[{"url":"http://h/"}]})", true, true},
        {R"({"links":[{"referrer":"http://h/"}]})", false, true},   // a link without its URL
        {R"({"links":[{"url":7}]})", false, true},
        {R"({"links":{"url":"http://h/"}})", false, true},
        {R"({"raise":"yes"})", false, true},
        {R"({"answerBy":1.5})", false, true},
        {R"({"results":[{"url":"u","added":1}]})", true, false},
        {R"({"listLines":["a",2]})", true, false},
        {R"([])", false, false},
        {R"({"links":[)", false, false},
        {"", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.payload);
        HandoffRequest request;
        HandoffAnswer answer;
        EXPECT_EQ(Handoff_DecodeRequest(row.payload, &request), row.request);
        EXPECT_EQ(Handoff_DecodeAnswer(row.payload, &answer), row.answer);
    }
    EXPECT_EQ(Handoff_EncodeAnswer({{}, {std::string(HANDOFF_MAX_PAYLOAD, 'x')}}), "");
    uint32_t length = 0;
    EXPECT_FALSE(Handoff_PayloadLength("\x01\x00\x00\x01", &length));
    EXPECT_TRUE(Handoff_PayloadLength("\x01\x00\x00\x00", &length));
    EXPECT_EQ(length, HANDOFF_MAX_PAYLOAD);
}

// 400,000 short lines, well inside --input's limit, would make one request above the frame's.
TEST(Handoff, ALongListOfLinksTravelsInRequestsThatEachFitAFrameAndOnlyTheLastActs)
{
    HandoffRequest request;
    request.downloadNow = true;
    for (int k = 0; k < 400000; ++k)
        request.links.push_back({"h/" + std::to_string(k), "", ""});
    const std::vector<HandoffRequest> parts = Handoff_Split(request);
    ASSERT_EQ(parts.size(), 400000 / HANDOFF_LINKS_PER_REQUEST);
    for (const HandoffRequest& part : parts)
        EXPECT_EQ(part.downloadNow && part.raise, &part == &parts.back());
    EXPECT_NE(Handoff_EncodeRequest(parts.back()), "");
    EXPECT_EQ(parts[1].links[0].url, "h/" + std::to_string(HANDOFF_LINKS_PER_REQUEST));
}

}  // namespace
