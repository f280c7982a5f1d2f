// The texts the list's rows, the progress dialog, the tray icon's tip and a run's summary show,
// and the link that text typed by the person stands for.
//
// Contract:
// - No window is called: each text comes from the items, the interface's record (ui.h) and
//   what the caller hands in, so that each can be read without a window.
// - User-interface thread only, as the record it reads. Every copy into text is bounded.
// - A function that reads an item takes the item lock itself, unless it says the caller holds it.
#pragma once

#include "core/items.h"

#include <cstddef>
#include <cstdint>

// The text the "Add:" box starts with, and that typed text naming no known scheme gets in front.
constexpr char URL_PREFIX[] = "http://";
constexpr size_t URL_PREFIX_LENGTH = sizeof URL_PREFIX - 1;
// Room for a moment of a link's expiry, "Dec 31 2199, 12:59 PM".
constexpr size_t EXPIRY_TEXT_CAPACITY = 48;

// Writes value with a comma between groups of three digits, from the end of buffer backwards;
// returns the first character of the text.
char* MQUI_FormatCount(uint64_t value, char* buffer, size_t size);
// The progress dialog's line of the bytes done of total.
void MQUI_FormatByteLine(int64_t done, int64_t total, char* line, size_t size);
// The average rate since the clock started (with base bytes done then), over how many
// connections when more than one runs, and the time the rest would take at it.
void MQUI_FormatRateLine(int64_t done, int64_t total, int64_t base, double seconds, int32_t connections,
                         char* line, size_t size);
// The summary of the latest run: what came, what failed and why, and where the failed links are.
void MQUI_DescribeRun(char* text, size_t size);
// A failed or broken-off item's problem in its row's words; the caller holds the item lock.
void MQUI_FormatFailure(const UrlItem* item, uint32_t flags, char* text, size_t size);
// The words the row of a failed or broken-off item shows for its problem.
void MQUI_FailureText(const UrlItem* item, char* text, size_t size);
// The size of a ready item, or how much of it is done when a part is on disk (the next run
// continues it), every range done counted; the caller holds the item lock.
void MQUI_SizeText(const UrlItem* item, char* text, size_t size);
// The moment at, in the schedule's form of a time, after its day when that is not the day of
// now ("Dec 8, 1:30 AM"), and the year too when that is not now's.
void MQUI_MomentText(int64_t at, int64_t now, char* text, size_t size);
// The name the item is stored under, or its link while none is chosen yet.
void MQUI_ShownName(const UrlItem* item, char* name, size_t size);
// The tray icon's tip for the state now, the schedule armed or not: the pending count and the
// start time when armed; during a run, the file and how much of it came.
void MQUI_TrayTipText(bool armed, char* text, size_t size);
bool MQUI_NamesKnownScheme(const char* text);
// Bytes of the link that text typed by the person stands for (MQUI_TypedLink's).
size_t MQUI_TypedLinkLength(const char* text);
// The link that text typed by the person stands for: "http://" goes in front unless it names a
// scheme Moonfetch speaks. The copy into link is bounded.
void MQUI_TypedLink(const char* text, char* link, size_t size);
