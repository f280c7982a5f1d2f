// Link drop target: decides, from dragged text alone and without any network access, whether a
// drag carries a link that Moonfetch can download.
//
// Contract:
// - One drop target per process, used only on the user-interface thread: IsAcceptableLink
//   parses in the target's one scratch buffer and is not reentrant.
// - allowHTML is the AllowHTML option; whoever changes the option keeps it up to date.
// - The dragged text is never changed; the answer is 1 (accept) or 0 (refuse), nothing else.
#pragma once

#include "platform/sizes.h"

#include <cstddef>
#include <cstdint>

// Whether the link's path (its query and fragment left out) ends in ".html", ".htm" or ".shtml"
// (case counts): the link names a web page.
bool Link_NamesPage(const char* url);

struct LinkDropTarget {
    int32_t allowHTML;
    char scratch[URL_CAPACITY];   // parsed copy of the text under test

    // 1 for an "http://", "https://" or "ftp://" link of at most URL_LENGTH_LIMIT bytes that
    // names something behind the host, not ending in '/', and, unless allowHTML is set, not
    // ending in ".html", ".htm" or ".shtml" (case counts, query included, fragment left out); 0
    // otherwise. text must not be null.
    int IsAcceptableLink(const char* text);
};
