// Settings start-up: brings the stored download directory and download options into memory
// once, when the program starts.
//
// Contract:
// - User-interface thread only, called once by the shell after the main window and the toolbar
//   exist and before the event loop runs. The caller owns the options record.
// - A value that cannot be read keeps its default (the empty directory, option 0); nothing is
//   reported to the person and nothing is written to the store.
// - The drop target's copy of allowHTML and the repaint are the caller's: this library sits
//   below the windows and knows none of them.
#pragma once

#include "registry.h"

#include <cstdint>

// Hands the stored download directory to the core and reads the three options into options;
// returns the result of reading the directory (0, or the store's error code).
int32_t LoadSettings(DownloadOptions* options);
