// Settings start-up: brings the stored schedule, download directory, download options and
// cookie source into memory once, when the program starts.
//
// Contract:
// - User-interface thread only, called once by the shell after the main window and the toolbar
//   exist and before the event loop runs. The caller owns the options record (zeroed before
//   the call), the windows and the drop target, whose allowHTML copy it sets through the
//   callback; the repaint that follows is the caller's too.
// - The very first start is known by the absence of the settings file: it shows the cookies
//   dialog first, reads nothing stored, and leaves the settings file behind (holding no value
//   when the person chose nothing). A later start shows a dialog only while the stored cookie
//   source fails to load, and writes nothing.
// - A value that cannot be read keeps its default (the empty directory, option 0); nothing is
//   reported to the person.
#pragma once

#include "settings/options.h"
#include "window/window.h"

#include <cstdint>

// Loads every setting in order; toolbar may be null. Returns the result of reading the
// download directory (0, or the store's error code; 0 at the very first start).
int32_t MQUI_LoadSettings(HWND mainWindow, HWND toolbar, DownloadOptions* options,
                     void (*setAllowHTML)(int32_t allow));
