// The work timer: while it runs, every 200 ms the timer task harvests the workers' progress
// (timertask.cpp); while it does not, no worker runs and the list may change under the person.
// While finished queries are left over from a harvest cut short, it ticks as soon as the window
// has handled what waits (typing, paints), so that harvests keep up with the workers.
//
// Contract:
// - User-interface thread only; ui.workTimerId is its handle, 0 while it does not run.
// - Starting it refreshes the list, whose buttons and menu item wait while it runs; whoever
//   stops it refreshes the list.
#pragma once

#include "window/window.h"

// Starts the timer on the main window unless it runs, and refreshes the list.
void MQUI_StartWorkTimer();
// Stops the timer on window, which owns it.
void MQUI_StopWorkTimer(HWND window);
// Brings the running timer's next tick on window forward to as soon as the window has nothing
// else to do (hurry), or back to its usual period.
void MQUI_HurryWorkTimer(HWND window, bool hurry);
