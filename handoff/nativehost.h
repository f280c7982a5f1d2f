// Native messaging: the frames a browser's extension exchanges with its host over the host's
// standard input and output, and the messages inside them.
//
// Contract:
// - A frame is a 32-bit length in the machine's byte order, then that many bytes of UTF-8 JSON.
//   A browser's frame of more than NATIVE_FRAME_LIMIT bytes is refused unread; an answer frame
//   never reaches that size (results that would not fit are left out and counted).
// - The message a browser sends is an object with "links": an array of link records
//   (handoff/linkrecord.h), as a handoff request carries them; other members are ignored.
//   Anything else is refused as a whole, with a text that says why.
// - Pure functions over file descriptors and strings: no global state, nothing thrown, no
//   signal touched (whoever writes to a pipe that may close ignores SIGPIPE).
#pragma once

#include "handoff/codec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t NATIVE_FRAME_LIMIT = 1024 * 1024;

// What Native_ReadFrame found.
constexpr int NATIVE_FRAME = 1;       // a whole frame; its payload is filled
constexpr int NATIVE_END = 0;         // the input ended (or failed) between frames
constexpr int NATIVE_TOO_LARGE = -1;  // the length is above the limit; nothing behind it is read
constexpr int NATIVE_CUT = -2;        // the input ended inside a frame

struct NativeResult {
    bool added = false;
    std::string reason;   // why a link was not added; empty when it was
};

// Reads one frame from fd into *payload.
int Native_ReadFrame(int fd, std::string* payload);
// Writes payload as one frame; false when the pipe is closed or the payload is too large.
bool Native_WriteFrame(int fd, std::string_view payload);
// Why a frame that Native_ReadFrame gave up on (NATIVE_TOO_LARGE, NATIVE_CUT) is refused.
const char* Native_FrameRefusal(int readResult);
// The links of a message; empty text, or why the message was refused (links then untouched).
std::string Native_DecodeMessage(std::string_view payload, std::vector<HandoffLink>* links);
// The answer to a refused message or frame: {"error": why}.
std::string Native_EncodeError(std::string_view why);
// The answer per link, in the order of the message, with the counts of added and refused links;
// the results that would take the answer past the frame limit are left out ("omitted" counts).
std::string Native_EncodeAnswer(const std::vector<NativeResult>& results);
