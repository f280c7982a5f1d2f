// Mending a row: a new link for a refused one, typed as into the "Add:" box, or a new local file
// for any other problem.
//
// Contract:
// - User-interface thread only; nothing while a worker may hold the item (the work timer runs).
#pragma once

#include "core/items.h"
#include "window/window.h"

// Mends the row under the pointer (lParam as for a click).
void MQUI_FixRow(LPARAM lParam);
// Asks for a new link for item and starts its query; nothing while a worker may hold the item.
void MQUI_ReplaceLink(UrlItem* item);
// The "Replace Link" dialog: the item's link (lParam) to type over, a new one read back.
intptr_t MQUI_ReplaceLinkProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);
