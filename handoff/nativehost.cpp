#include "handoff/nativehost.h"

#include "handoff/linkrecord.h"
#include "platform/text.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

using nlohmann::json;

constexpr const char* NOT_UTF8 = "The message is not UTF-8 text.";
constexpr const char* NOT_JSON = "The message is not valid JSON.";
constexpr const char* NOT_LINKS =
    "The message is not an object with \"links\", a list of objects each with a \"url\" text.";
// Room kept in an answer for its counts and brackets beside the results.
constexpr size_t ANSWER_FRAME_RESERVE = 256;

// Reads exactly size bytes unless the input ends first; the bytes read.
size_t readFully(int fd, char* to, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, to + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

bool writeFully(int fd, const char* from, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, from, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        from += n;
        size -= size_t(n);
    }
    return true;
}

}  // namespace

int Native_ReadFrame(int fd, std::string* payload)
{
    uint32_t length = 0;
    size_t got = readFully(fd, reinterpret_cast<char*>(&length), sizeof length);
    if (got == 0)
        return NATIVE_END;
    if (got < sizeof length)
        return NATIVE_CUT;
    if (length > NATIVE_FRAME_LIMIT)
        return NATIVE_TOO_LARGE;
    payload->resize(length);
    return readFully(fd, payload->data(), length) == length ? NATIVE_FRAME : NATIVE_CUT;
}

bool Native_WriteFrame(int fd, std::string_view payload)
{
    if (payload.size() >= NATIVE_FRAME_LIMIT)
        return false;
    const auto length = uint32_t(payload.size());
    return writeFully(fd, reinterpret_cast<const char*>(&length), sizeof length) &&
           writeFully(fd, payload.data(), payload.size());
}

std::string Native_DecodeMessage(std::string_view payload, std::vector<HandoffLink>* links)
{
    if (!Text_IsUtf8(payload))
        return NOT_UTF8;
    json message = json::parse(payload, nullptr, false);
    if (message.is_discarded())
        return NOT_JSON;
    auto list = message.is_object() ? message.find("links") : message.end();
    if (list == message.end() || !list->is_array())
        return NOT_LINKS;
    std::vector<HandoffLink> decoded(list->size());
    for (size_t k = 0; k < decoded.size(); ++k)
        if (!Handoff_LinkFromJson((*list)[k], &decoded[k]))
            return NOT_LINKS;
    *links = std::move(decoded);
    return {};
}

const char* Native_FrameRefusal(int readResult)
{
    return readResult == NATIVE_TOO_LARGE ? "The message is larger than 1 MB."
                                          : "The message ends before its announced length.";
}

std::string Native_EncodeError(std::string_view why)
{
    return json{{"error", why}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Native_EncodeAnswer(const std::vector<NativeResult>& results)
{
    size_t added = 0, kept = 0, used = ANSWER_FRAME_RESERVE;
    bool full = false;   // results are told by position, so once one is left out all after it are
    std::string list;
    for (const NativeResult& result : results) {
        added += result.added;
        json one = result.added ? json{{"added", true}} : json{{"added", false}, {"reason", result.reason}};
        std::string text = one.dump(-1, ' ', false, json::error_handler_t::replace);
        full = full || used + text.size() + 1 >= NATIVE_FRAME_LIMIT;
        if (full)
            continue;
        list += (kept++ ? "," : "") + text;
        used += text.size() + 1;
    }
    return "{\"added\":" + std::to_string(added) + ",\"refused\":" + std::to_string(results.size() - added) +
           ",\"omitted\":" + std::to_string(results.size() - kept) + ",\"results\":[" + list + "]}";
}
