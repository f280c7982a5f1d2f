// Link expiry: the moment a signed link stops working, read from the link itself, without any
// network access.
//
// Contract:
// - Pure and reentrant: the URL is only read, nothing is kept.
// - Recognised in the query (behind '?', before '#'), names matched without regard to case, the
//   first occurrence of a name counting: X-Amz-Date + X-Amz-Expires and X-Goog-Date +
//   X-Goog-Expires (the signing time "20261207T013000Z" and 1..604800 seconds, the longest
//   either service signs for); se (a UTC time "2026-12-07T01:30:00Z", its colons possibly
//   percent-encoded, or a day "2026-12-07") beside a sig; Expires or exp, Unix seconds from
//   2000-01-01 up to 2200-01-01. A half missing, a malformed or out-of-range value, or a day
//   that no calendar has (2026-02-30), gives none.
// - Several recognised expiries: the earliest counts.
#pragma once

#include <cstdint>

// What Expiry_FromUrl gives for a link that names no end: a moment that never comes. Every
// other value is a moment, 1970-01-01 (0) included.
constexpr int64_t EXPIRY_NONE = INT64_MAX;

// Unix seconds at which url's signature ends; EXPIRY_NONE when url names no expiry.
int64_t Expiry_FromUrl(const char* url);
