#include "web/expiry.h"

#include "platform/text.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t LONGEST_SIGNATURE = 7 * SECONDS_PER_DAY;
// 2000-01-01 and 2200-01-01, UTC: a number outside is no expiry of a link made or used now.
constexpr int64_t PLAUSIBLE_FROM = 946684800, PLAUSIBLE_UNTIL = 7258118400;
constexpr size_t TIME_TEXT_CAPACITY = 64;

std::string_view queryOf(std::string_view url)
{
    url = url.substr(0, url.find('#'));
    const size_t mark = url.find('?');
    return mark == std::string_view::npos ? std::string_view() : url.substr(mark + 1);
}

// The value of the first parameter called name, still encoded; found tells whether there is one.
std::string_view parameter(std::string_view query, std::string_view name, bool* found)
{
    *found = false;
    while (!query.empty()) {
        const size_t end = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, end);
        const size_t equals = std::min(pair.find('='), pair.size());
        if (Text_EqualNoCase(pair.substr(0, equals), name)) {
            *found = true;
            return pair.substr(std::min(equals + 1, pair.size()));
        }
        query.remove_prefix(std::min(end + 1, query.size()));
    }
    return {};
}

// Digits only, at most 18 of them, so that no value overflows; -1 otherwise.
int64_t number(std::string_view text)
{
    if (text.empty() || text.size() > 18)
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Days from 1970-01-01 to a day of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    return era * 146097 + yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear - 719468;
}

// The fields of a time text, each at its offset with its width and its largest value.
struct TimeField {
    size_t at, width;
    int64_t lowest, highest;
};

bool isLeapYear(int64_t year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int64_t DAYS_IN_MONTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int64_t daysInMonth(int64_t year, int64_t month)
{
    return DAYS_IN_MONTH[month - 1] + (month == 2 && isLeapYear(year));
}

// A UTC time from text laid out as fields with separators at the given offsets; EXPIRY_NONE when
// malformed or when the day does not exist.
int64_t timeFrom(std::string_view text, const TimeField (&fields)[6], std::string_view layout)
{
    if (text.size() != layout.size())
        return EXPIRY_NONE;
    for (size_t i = 0; i < layout.size(); ++i)
        if (layout[i] != '#' && layout[i] != text[i])
            return EXPIRY_NONE;
    int64_t value[6] = {};
    for (size_t i = 0; i < 6; ++i) {
        value[i] = fields[i].width ? number(text.substr(fields[i].at, fields[i].width)) : 0;
        if (value[i] < fields[i].lowest || value[i] > fields[i].highest)
            return EXPIRY_NONE;
    }
    if (value[2] > daysInMonth(value[0], value[1]))
        return EXPIRY_NONE;
    return daysFromCivil(value[0], value[1], value[2]) * SECONDS_PER_DAY + value[3] * 3600 + value[4] * 60 + value[5];
}

constexpr TimeField BASIC_FIELDS[6] = {{0, 4, 1970, 9999}, {4, 2, 1, 12}, {6, 2, 1, 31},
                                       {9, 2, 0, 23}, {11, 2, 0, 59}, {13, 2, 0, 60}};
constexpr TimeField EXTENDED_FIELDS[6] = {{0, 4, 1970, 9999}, {5, 2, 1, 12}, {8, 2, 1, 31},
                                          {11, 2, 0, 23}, {14, 2, 0, 59}, {17, 2, 0, 60}};
constexpr TimeField DAY_FIELDS[6] = {{0, 4, 1970, 9999}, {5, 2, 1, 12}, {8, 2, 1, 31},
                                     {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};

// A signing time and its lifetime in seconds, as two parameters name them.
int64_t signedFor(std::string_view query, std::string_view dateName, std::string_view lifetimeName)
{
    bool hasDate = false, hasLifetime = false;
    const int64_t signedAt = timeFrom(parameter(query, dateName, &hasDate), BASIC_FIELDS, "########T######Z");
    const int64_t lifetime = number(parameter(query, lifetimeName, &hasLifetime));
    if (!hasDate || !hasLifetime || signedAt == EXPIRY_NONE || lifetime < 1 || lifetime > LONGEST_SIGNATURE)
        return EXPIRY_NONE;
    return signedAt + lifetime;
}

int64_t amazon(std::string_view query)
{
    return signedFor(query, "X-Amz-Date", "X-Amz-Expires");
}

int64_t google(std::string_view query)
{
    return signedFor(query, "X-Goog-Date", "X-Goog-Expires");
}

// Percent-decodes text into out; false when it does not fit or an escape is malformed.
bool decode(std::string_view text, char (&out)[TIME_TEXT_CAPACITY], size_t* length)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (n + 1 >= sizeof out)
            return false;
        if (text[i] != '%') {
            out[n++] = text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? Text_HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? Text_HexValue(text[i + 2]) : -1;
        if (low < 0)
            return false;
        out[n++] = char(high * 16 + low);
        i += 2;
    }
    *length = n;
    return true;
}

int64_t azure(std::string_view query)
{
    bool hasEnd = false, hasSignature = false;
    const std::string_view encoded = parameter(query, "se", &hasEnd);
    parameter(query, "sig", &hasSignature);
    char text[TIME_TEXT_CAPACITY];
    size_t length = 0;
    if (!hasEnd || !hasSignature || !decode(encoded, text, &length))
        return EXPIRY_NONE;
    const std::string_view end(text, length);
    if (const int64_t at = timeFrom(end, EXTENDED_FIELDS, "####-##-##T##:##:##Z"); at != EXPIRY_NONE)
        return at;
    return timeFrom(end, DAY_FIELDS, "####-##-##");
}

int64_t unixTime(std::string_view query, std::string_view name)
{
    bool found = false;
    const int64_t at = number(parameter(query, name, &found));
    return found && at >= PLAUSIBLE_FROM && at < PLAUSIBLE_UNTIL ? at : EXPIRY_NONE;
}

int64_t expires(std::string_view query)
{
    return unixTime(query, "Expires");
}

int64_t exp(std::string_view query)
{
    return unixTime(query, "exp");
}

constexpr int64_t (*SCHEMES[])(std::string_view) = {amazon, google, azure, expires, exp};

}  // namespace

int64_t Expiry_FromUrl(const char* url)
{
    const std::string_view query = queryOf(url);
    int64_t earliest = EXPIRY_NONE;
    for (auto scheme : SCHEMES)
        earliest = std::min(earliest, scheme(query));
    return earliest;
}
