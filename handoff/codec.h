// The handoff between a running Moonfetch and another process of the same user (a second start,
// the browser's native-messaging host, `--list`): one request, one answer, each one frame.
//
// Contract:
// - A frame is a 32-bit big-endian payload length, then the payload: UTF-8 JSON text. A payload
//   longer than HANDOFF_MAX_PAYLOAD is never written nor read.
// - Encoding never fails on text that is not UTF-8: such bytes travel as U+FFFD, so the
//   receiving side refuses the link rather than the whole request.
// - Decoding accepts exactly the shape its encoder writes (a missing optional field keeps its
//   default); anything else is refused as a whole (false, *out unspecified). Nothing throws.
// - A request names when its sender stops waiting (answerBy, on Handoff_Clock): the copy drops
//   a request that comes later, so that links its sender gave up on are never added.
// - A start's links travel in requests of at most HANDOFF_LINKS_PER_REQUEST links each, so that
//   every request fits one frame and the copy answers each in good time.
// - Pure functions but Handoff_Clock, any thread; the transport lives in handoff/transport.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t HANDOFF_HEADER_SIZE = 4;
constexpr uint32_t HANDOFF_MAX_PAYLOAD = 16u << 20;
// Links of the longest URL the program takes, 5,000 of them, fit a frame with room to spare.
constexpr size_t HANDOFF_LINKS_PER_REQUEST = 5000;

struct HandoffLink {
    std::string url, referrer, cookieHeader;   // referrer and cookieHeader may be empty
};

struct HandoffRequest {
    std::vector<HandoffLink> links;
    bool downloadNow = false;
    bool raise = true;
    bool list = false;   // answer with the pending list's lines instead of adding
    int64_t answerBy = 0;   // Handoff_Clock's time from which the sender no longer waits; 0: none
};

// What became of one link: added, or the reason it was not.
struct HandoffResult {
    std::string url;
    bool added = false;
    std::string reason;
};

struct HandoffAnswer {
    std::vector<HandoffResult> results;
    std::vector<std::string> listLines;
};

// Each returns the whole frame, length included; empty when the payload would be too long.
std::string Handoff_EncodeRequest(const HandoffRequest& request);
// The frame of request as a sender sends it: answerBy set to timeoutMs from now.
std::string Handoff_EncodeSent(const HandoffRequest& request, int timeoutMs);
std::string Handoff_EncodeAnswer(const HandoffAnswer& answer);
// payload is a frame without its length.
bool Handoff_DecodeRequest(std::string_view payload, HandoffRequest* out);
bool Handoff_DecodeAnswer(std::string_view payload, HandoffAnswer* out);
// request's links in requests of at most HANDOFF_LINKS_PER_REQUEST links, in order; only the last
// one raises the window or starts the downloads. A request without links stays whole.
std::vector<HandoffRequest> Handoff_Split(const HandoffRequest& request);
// Milliseconds of the machine's monotonic clock, which every process of the machine shares.
int64_t Handoff_Clock();
// Whether the request's sender has stopped waiting for its answer.
bool Handoff_Expired(const HandoffRequest& request);
// The payload length a frame's first HANDOFF_HEADER_SIZE bytes announce; false when too long.
bool Handoff_PayloadLength(const char* header, uint32_t* length);
