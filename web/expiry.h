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
//   2000-01-01 up to 2200-01-01. A half missing, a malformed or out-of-range value gives none.
// - Several recognised expiries: the earliest counts.
#pragma once

#include <cstdint>

// Unix seconds at which url's signature ends; 0 when url names no expiry.
int64_t Expiry_FromUrl(const char* url);
