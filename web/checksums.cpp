#include "web/checksums.h"

#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

struct NamedAlgorithm {
    ChecksumSource source;
    std::string_view name;
    DigestAlgorithm algorithm;
};

constexpr NamedAlgorithm NAMED_ALGORITHMS[] = {
    {ChecksumSource::ReprDigest, "sha-256", DigestAlgorithm::Sha256},
    {ChecksumSource::ReprDigest, "sha-512", DigestAlgorithm::Sha512},
    {ChecksumSource::ContentDigest, "sha-256", DigestAlgorithm::Sha256},
    {ChecksumSource::ContentDigest, "sha-512", DigestAlgorithm::Sha512},
    {ChecksumSource::Digest, "sha-256", DigestAlgorithm::Sha256},
    {ChecksumSource::Digest, "sha-512", DigestAlgorithm::Sha512},
    {ChecksumSource::Digest, "md5", DigestAlgorithm::Md5},
    {ChecksumSource::GoogHash, "crc32c", DigestAlgorithm::Crc32c},
    {ChecksumSource::GoogHash, "md5", DigestAlgorithm::Md5},
};

struct SourceHeader {
    ChecksumSource source;
    const char* header;
    bool ofBody;   // speaks of the body sent, not of the whole file
};

constexpr SourceHeader SOURCE_HEADERS[] = {
    {ChecksumSource::ReprDigest, "Repr-Digest", false},
    {ChecksumSource::ContentDigest, "Content-Digest", true},
    {ChecksumSource::Digest, "Digest", false},
    {ChecksumSource::ContentMd5, "Content-MD5", true},
    {ChecksumSource::GoogHash, "x-goog-hash", false},
};

// Room for a header's value: a few digests of SHA-512 with their names.
constexpr size_t HEADER_CAPACITY = 1024;

bool isStructured(ChecksumSource source)
{
    return source == ChecksumSource::ReprDigest || source == ChecksumSource::ContentDigest;
}

// The algorithm that source names so; dictionaries' keys are lower case, the lists' names in any case.
DigestAlgorithm algorithmNamed(ChecksumSource source, std::string_view name)
{
    for (const NamedAlgorithm& named : NAMED_ALGORITHMS)
        if (named.source == source &&
            (isStructured(source) ? name == named.name : Text_EqualNoCase(name, named.name)))
            return named.algorithm;
    return DigestAlgorithm::None;
}

int base64Value(char c)
{
    constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t at = ALPHABET.find(c);
    return at == std::string_view::npos ? -1 : int(at);
}

// Decodes text into exactly length bytes of out; false for anything else. Padding may be left
// off; the bits that fill the last character must be zero.
bool decodeBase64(std::string_view text, uint8_t* out, size_t length)
{
    const size_t data = std::min(text.size(), text.find_last_not_of('=') + 1);
    if (text.size() - data > 2 || (text.size() > data && text.size() % 4 != 0))
        return false;
    uint32_t bits = 0;
    int held = 0;
    size_t written = 0;
    for (char c : text.substr(0, data)) {
        const int value = base64Value(c);
        if (value < 0)
            return false;
        bits = (bits << 6) | uint32_t(value);
        held += 6;
        if (held < 8)
            continue;
        held -= 8;
        if (written == length)
            return false;
        out[written++] = uint8_t(bits >> held);
    }
    return written == length && (bits & ((1u << held) - 1)) == 0;
}

constexpr size_t ALGORITHM_COUNT = size_t(DigestAlgorithm::Sha512) + 1;

// The claims one header gives, by algorithm: the last one of each name counts.
struct Claims {
    bool valid[ALGORITHM_COUNT];
    uint8_t values[ALGORITHM_COUNT][DIGEST_CAPACITY];

    // base64 null: a value of another type, which is never trusted.
    void take(DigestAlgorithm algorithm, const std::string_view* base64)
    {
        const auto i = size_t(algorithm);
        if (algorithm != DigestAlgorithm::None)
            valid[i] = base64 != nullptr && decodeBase64(*base64, values[i], Digest_Length(algorithm));
    }
};

bool isWhite(char c)
{
    return c == ' ' || c == '\t';
}

void skipWhite(std::string_view& text)
{
    while (!text.empty() && isWhite(text.front()))
        text.remove_prefix(1);
}

// A structured field's key at the start of text, stepped over; empty when there is none.
std::string_view readKey(std::string_view& text)
{
    auto keyChar = [](char c, bool first) {
        return (c >= 'a' && c <= 'z') || c == '*' ||
               (!first && ((c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.'));
    };
    size_t length = 0;
    while (length < text.size() && keyChar(text[length], length == 0))
        ++length;
    const std::string_view key = text.substr(0, length);
    text.remove_prefix(length);
    return key;
}

// A bare item at the start of text, stepped over: a byte sequence's base64 into bytes (else
// bytes stays empty); false when nothing that parses stands there.
bool readBareItem(std::string_view& text, std::string_view* bytes)
{
    *bytes = {};
    if (text.empty())
        return false;
    if (text.front() == ':' || text.front() == '"') {
        const char close = text.front();
        size_t end = 1;
        while (end < text.size() && text[end] != close)
            end += close == '"' && text[end] == '\\' ? 2 : 1;
        if (end >= text.size())
            return false;
        if (close == ':')
            *bytes = text.substr(1, end - 1);
        text.remove_prefix(end + 1);
        return true;
    }
    // A token, a number or a boolean: what is no delimiter.
    const size_t end = std::min(text.find_first_of(";, \t"), text.size());
    text.remove_prefix(end);
    return end > 0;
}

// ";key[=item]" parameters, stepped over; false when one does not parse.
bool skipParameters(std::string_view& text)
{
    while (!text.empty() && text.front() == ';') {
        text.remove_prefix(1);
        skipWhite(text);
        std::string_view ignored;
        if (readKey(text).empty())
            return false;
        if (!text.empty() && text.front() == '=') {
            text.remove_prefix(1);
            if (!readBareItem(text, &ignored))
                return false;
        }
    }
    return true;
}

// A structured-field dictionary; false when it does not parse, and then nothing of it counts.
bool parseDictionary(ChecksumSource source, std::string_view text, Claims* claims)
{
    skipWhite(text);
    for (;;) {
        const std::string_view key = readKey(text);
        if (key.empty())
            return false;
        std::string_view bytes;
        bool isBytes = false;
        if (!text.empty() && text.front() == '=') {
            text.remove_prefix(1);
            isBytes = !text.empty() && text.front() == ':';
            if (text.empty() || text.front() == '(' || !readBareItem(text, &bytes))
                return false;
        }
        if (!skipParameters(text))
            return false;
        claims->take(algorithmNamed(source, key), isBytes ? &bytes : nullptr);
        skipWhite(text);
        if (text.empty())
            return true;
        if (text.front() != ',')
            return false;
        text.remove_prefix(1);
        skipWhite(text);
    }
}

// A list of "name=base64", separated by commas.
void parseList(ChecksumSource source, std::string_view text, Claims* claims)
{
    while (!text.empty()) {
        const size_t comma = std::min(text.find(','), text.size());
        std::string_view member = text.substr(0, comma);
        text.remove_prefix(std::min(comma + 1, text.size()));
        skipWhite(member);
        while (!member.empty() && isWhite(member.back()))
            member.remove_suffix(1);
        const size_t equals = member.find('=');
        const std::string_view base64 = member.substr(std::min(equals + 1, member.size()));
        if (equals != std::string_view::npos)
            claims->take(algorithmNamed(source, member.substr(0, equals)), &base64);
    }
}

// Whether the server unpacked stored data on the way, so that its x-goog-hash speaks of other bytes.
bool unpackedOnTheWay(InetHandle* answer)
{
    char value[256];
    return Inet_HttpHeader(answer, "x-guploader-response-body-transformations", value, sizeof value) &&
           std::strstr(value, "gunzipped") != nullptr;
}

}  // namespace

void Checksums_Parse(ChecksumSource source, const char* value, ChecksumClaim* best)
{
    Claims claims{};
    std::string_view text(value);
    if (source == ChecksumSource::ContentMd5) {
        skipWhite(text);
        while (!text.empty() && isWhite(text.back()))
            text.remove_suffix(1);
        claims.take(DigestAlgorithm::Md5, &text);
    } else if (isStructured(source)) {
        if (!parseDictionary(source, text, &claims))
            return;
    } else {
        parseList(source, text, &claims);
    }
    for (size_t i = ALGORITHM_COUNT - 1; i > size_t(best->algorithm); --i) {
        if (!claims.valid[i])
            continue;
        best->algorithm = DigestAlgorithm(i);
        best->source = source;
        std::memcpy(best->value, claims.values[i], sizeof best->value);
        return;
    }
}

ChecksumClaim Checksums_OfAnswer(InetHandle* answer, bool bodyIsFile)
{
    ChecksumClaim best{};
    char value[HEADER_CAPACITY];
    for (const SourceHeader& source : SOURCE_HEADERS) {
        if ((source.ofBody && !bodyIsFile) ||
            (source.source == ChecksumSource::GoogHash && unpackedOnTheWay(answer)))
            continue;
        if (Inet_HttpHeader(answer, source.header, value, sizeof value))
            Checksums_Parse(source.source, value, &best);
    }
    return best;
}

const char* Checksums_AlgorithmName(DigestAlgorithm algorithm)
{
    constexpr const char* NAMES[] = {"none", "crc32c", "md5", "sha-256", "sha-512"};
    return NAMES[size_t(algorithm)];
}

const char* Checksums_SourceName(ChecksumSource source)
{
    return SOURCE_HEADERS[size_t(source)].header;
}
