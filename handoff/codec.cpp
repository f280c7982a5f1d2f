#include "handoff/codec.h"

#include "handoff/linkrecord.h"

#include <algorithm>
#include <chrono>

namespace {

using Json = nlohmann::json;

std::string frame(const Json& value)
{
    const std::string payload = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (payload.size() > HANDOFF_MAX_PAYLOAD)
        return {};
    const auto length = uint32_t(payload.size());
    std::string out(HANDOFF_HEADER_SIZE, '\0');
    for (size_t i = 0; i < HANDOFF_HEADER_SIZE; ++i)
        out[i] = char(length >> (8 * (HANDOFF_HEADER_SIZE - 1 - i)) & 0xFF);
    return out + payload;
}

// The JSON object of payload, or a discarded value when it is not one.
Json parseObject(std::string_view payload)
{
    Json value = Json::parse(payload.begin(), payload.end(), nullptr, false);
    return value.is_object() ? value : Json(Json::value_t::discarded);
}

// Reads the optional member name of object into *out when it has out's type; false when it is
// there with another type.
template <typename T>
bool take(const Json& object, const char* name, T* out)
{
    auto found = object.find(name);
    if (found == object.end())
        return true;
    if constexpr (std::is_same_v<T, bool>) {
        if (!found->is_boolean())
            return false;
    } else if constexpr (std::is_same_v<T, int64_t>) {
        if (!found->is_number_integer())
            return false;
    } else if (!found->is_string()) {
        return false;
    }
    *out = found->get<T>();
    return true;
}

// The array member name of object (empty when missing); false when it is not an array.
bool takeArray(const Json& object, const char* name, const Json** out)
{
    static const Json empty = Json::array();
    auto found = object.find(name);
    *out = found == object.end() ? &empty : &*found;
    return (*out)->is_array();
}

// The optional text member name of object into *out; false when it is there and not a text.
bool takeText(const Json& object, const char* name, std::string* out)
{
    return take(object, name, out);
}

}  // namespace

bool Handoff_LinkFromJson(const Json& value, HandoffLink* link)
{
    return value.is_object() && value.contains("url") && takeText(value, "url", &link->url) &&
           takeText(value, "referrer", &link->referrer) && takeText(value, "cookieHeader", &link->cookieHeader);
}

Json Handoff_LinkToJson(const HandoffLink& link)
{
    return {{"url", link.url}, {"referrer", link.referrer}, {"cookieHeader", link.cookieHeader}};
}

std::string Handoff_EncodeRequest(const HandoffRequest& request)
{
    Json links = Json::array();
    for (const HandoffLink& link : request.links)
        links.push_back(Handoff_LinkToJson(link));
    return frame({{"links", links}, {"downloadNow", request.downloadNow}, {"raise", request.raise},
                  {"list", request.list}, {"answerBy", request.answerBy}});
}

std::string Handoff_EncodeSent(const HandoffRequest& request, int timeoutMs)
{
    HandoffRequest timed = request;
    timed.answerBy = Handoff_Clock() + timeoutMs;
    return Handoff_EncodeRequest(timed);
}

bool Handoff_DecodeRequest(std::string_view payload, HandoffRequest* out)
{
    const Json value = parseObject(payload);
    const Json* links = nullptr;
    if (value.is_discarded() || !takeArray(value, "links", &links))
        return false;
    *out = HandoffRequest{};
    for (const Json& link : *links) {
        HandoffLink decoded;
        if (!Handoff_LinkFromJson(link, &decoded))
            return false;
        out->links.push_back(std::move(decoded));
    }
    return take(value, "downloadNow", &out->downloadNow) && take(value, "raise", &out->raise) &&
           take(value, "list", &out->list) && take(value, "answerBy", &out->answerBy);
}

std::vector<HandoffRequest> Handoff_Split(const HandoffRequest& request)
{
    std::vector<HandoffRequest> parts;
    for (size_t first = 0; first < request.links.size() || parts.empty(); first += HANDOFF_LINKS_PER_REQUEST) {
        const size_t end = std::min(request.links.size(), first + HANDOFF_LINKS_PER_REQUEST);
        const bool last = end == request.links.size();
        HandoffRequest part{{}, request.downloadNow && last, request.raise && last, request.list, request.answerBy};
        part.links.assign(request.links.begin() + ptrdiff_t(first), request.links.begin() + ptrdiff_t(end));
        parts.push_back(std::move(part));
    }
    return parts;
}

int64_t Handoff_Clock()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Handoff_Expired(const HandoffRequest& request)
{
    return request.answerBy != 0 && Handoff_Clock() >= request.answerBy;
}

std::string Handoff_EncodeAnswer(const HandoffAnswer& answer)
{
    Json results = Json::array();
    for (const HandoffResult& result : answer.results)
        results.push_back({{"url", result.url}, {"added", result.added}, {"reason", result.reason}});
    return frame({{"results", results}, {"listLines", answer.listLines}});
}

bool Handoff_DecodeAnswer(std::string_view payload, HandoffAnswer* out)
{
    const Json value = parseObject(payload);
    const Json *results = nullptr, *lines = nullptr;
    if (value.is_discarded() || !takeArray(value, "results", &results) || !takeArray(value, "listLines", &lines))
        return false;
    *out = HandoffAnswer{};
    for (const Json& result : *results) {
        HandoffResult decoded;
        if (!result.is_object() || !take(result, "url", &decoded.url) || !take(result, "added", &decoded.added) ||
            !take(result, "reason", &decoded.reason))
            return false;
        out->results.push_back(std::move(decoded));
    }
    for (const Json& line : *lines) {
        if (!line.is_string())
            return false;
        out->listLines.push_back(line.get<std::string>());
    }
    return true;
}

bool Handoff_PayloadLength(const char* header, uint32_t* length)
{
    *length = 0;
    for (size_t i = 0; i < HANDOFF_HEADER_SIZE; ++i)
        *length = *length << 8 | uint8_t(header[i]);
    return *length <= HANDOFF_MAX_PAYLOAD;
}
