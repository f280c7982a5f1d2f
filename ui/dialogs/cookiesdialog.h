// The dialog "Select Source for Cookies" (dialog 135) in which the person chooses where the
// cookies of HTTP requests come from, and the choice that shows it until the stored source loads.
//
// Contract:
// - User-interface thread only; one cookies dialog at a time (it is modal).
// - The caller owns the options record and the main window; both are passed in and must
//   outlive the call. Only the dialog's OK writes the stored choice; the load that follows is
//   the cookie source's (cookiesource.h).
// - What the load must tell is shown in an error box owned by the main window (caption "Error
//   in Moonfetch").
#pragma once

#include "settings/cookiesource.h"
#include "window/window.h"

#include <cstdint>

constexpr int IDD_COOKIES = 135;
constexpr int IDC_COOKIES_NONE = 1025, IDC_COOKIES_NETSCAPE = 1026, IDC_COOKIES_SYSTEM = 1027;
constexpr int IDC_COOKIE_USERS = 1029;
constexpr int IDC_COOKIE_BY_USER = 1051, IDC_COOKIE_BY_FILE = 1052;
constexpr int IDC_COOKIE_FILE = 1053, IDC_COOKIE_BROWSE = 1054;

// Shows the dialog first when showFirst is non-zero, then loads the choice, showing the dialog
// again as long as the load fails; the last load's result (0 or a positive store error code).
int32_t CookieSource_Choose(int showFirst, HWND mainWindow, DownloadOptions* options);
// Fills the one-row users list and scrolls the stored user to its top; 0, or the error code
// when no profile list exists (the list is then left as it was).
int32_t Netscape_ListUsers(HWND dialog, int listId);

// Runs dialog 135 modally; 1 for OK, 2 for Cancel.
intptr_t CookieSource_RunDialog(HWND mainWindow, DownloadOptions* options);
// The procedure of dialog 135; WM_INITDIALOG's lParam is the CookiesDialogArgs.
struct CookiesDialogArgs {
    HWND mainWindow;
    DownloadOptions* options;
};
intptr_t CookiesDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);
// Enables or disables the controls of the Netscape group.
void EnableNetscapeControls(HWND dialog, bool enable);
// The open-file dialog owned by mainWindow, starting with the name in path; 1 when the person
// chose a file (now in path), else 0.
int BrowseForCookieFile(HWND mainWindow, char* path, uint32_t size);
