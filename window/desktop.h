// The desktop around the program: keeping the computer awake while it works, telling the person
// something in the desktop's notifications, and hearing that the computer woke from sleep.
//
// Contract:
// - User-interface thread only, after Win_Init.
// - On Linux these speak D-Bus: login1 on the system bus, the notification service on the
//   session bus, each at the address its variable names (DBUS_SYSTEM_BUS_ADDRESS,
//   DBUS_SESSION_BUS_ADDRESS) or else at the usual one. Where a bus or its service is missing,
//   a call does nothing and writes one trace line saying why; the program goes on as without
//   them. Nothing of D-Bus shows here, so the same calls can stand on another system's power
//   and notification calls.
// - A hold lasts until it is released or the process ends, whichever comes first.
// - The tray (the desktop's notification area) holds at most one icon of the program; it goes
//   with the window it was shown for. Where the desktop offers none, the tray calls do nothing.
#pragma once

#include "window/window.h"

// What a hold keeps from happening: the person's idle time suspending the computer, or that and
// any suspend, the person's own included.
enum class WinAwake { Idle, IdleAndSleep };

// Keeps the computer awake as what says, for why (shown where the desktop lists the holds) on
// behalf of who; a hold to release, or -1 when none could be taken.
int Win_HoldAwake(WinAwake what, const char* who, const char* why);
// Ends a hold; -1 is none and is ignored.
void Win_ReleaseAwake(int hold);
// Shows summary and body (lines apart with "\n") in the desktop's notifications, from app.
void Win_Notify(const char* app, const char* summary, const char* body);
// From now on, each time the computer wakes from sleep, window's procedure receives
// WM_POWERBROADCAST with PBT_APMRESUMEAUTOMATIC from the event loop.
void Win_ListenForWake(HWND window);

// Whether the desktop offers a tray to show an icon in.
bool Win_TrayAvailable();
// Shows the icon (a resource path) with tip in the tray, in place of any shown before; choosing
// one of its menu's items sends window's procedure WM_COMMAND with that item's command (the
// items' menu names are not used: the tray's menu is a single one).
void Win_TrayShow(HWND window, const char* icon, const char* tip, const WinMenuItem* items, size_t count);
// Changes the tip of the icon shown; nothing while none is.
void Win_TraySetTip(const char* tip);
