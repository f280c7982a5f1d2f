// The sizes of the fixed text buffers that a link, its local file and its answer travel in,
// from the dragged text to the pending list. Each is the capacity with the terminating NUL.
//
// Contract: constants only; every copy into such a buffer is bounded by its size.
#pragma once

#include <cstddef>

constexpr size_t URL_CAPACITY = 2058;     // 2057 characters and the NUL
// The longest link, counted in bytes of UTF-8: whatever takes a link in (the "Add:" box, a drop,
// the command line, the browsers' host, the items) refuses a longer one rather than cut it.
constexpr size_t URL_LENGTH_LIMIT = URL_CAPACITY - 1;
constexpr size_t PATH_CAPACITY = 512;
constexpr size_t STATUS_CAPACITY = 256;
// Room for the validators that name a file's version (a longer one is not kept).
constexpr size_t ETAG_CAPACITY = 128;
constexpr size_t DATE_CAPACITY = 64;
// A host name: the 253 characters of the longest DNS name fit.
constexpr size_t HOST_CAPACITY = 256;
// A URL's origin as a Referer names it: scheme, host and port.
constexpr size_t ORIGIN_CAPACITY = HOST_CAPACITY + 16;
