// The user interface: the main window and its list of pending links, the toolbar and dropped
// links, the work timer with the download run and its progress dialog, the run's holds and
// notifications on the desktop, and the dialogs of the local file choice. The texts they show,
// the boxes, the work timer and the mending of a row have headers of their own (texts.h,
// boxes.h, worktimer.h, fixrow.h).
//
// Contract:
// - Everything here runs on the user-interface thread; workers never call into it. The UI learns
//   of their progress only through MQUI_TimerTask on the 200 ms work timer.
// - UiState is the one record of the interface, shared by the files of this folder.
// - The window and dialog procedures reach the toolkit only through window.h and desktop.h
//   (window/).
#pragma once

#include "core/workers.h"
#include "handoff/codec.h"
#include "settings/options.h"
#include "window/window.h"

#include <cstdint>
#include <string>
#include <vector>

// Resource and control ids.
constexpr int IDS_TITLE = 103, IDS_CLASS = 109, IDS_HINT = 111;
constexpr int IDD_ABOUT = 103, IDD_TOOLBAR = 104, IDD_PROGRESS = 129, IDD_ATTENTION = 137,
              IDD_REPLACE_LINK = 138;
constexpr int IDM_EXIT = 105, IDM_ABOUT = 104, IDM_UNDO = 32774, IDM_DELETE = 32773,
              IDM_SELECT_ALL = 32783, IDM_COOKIES = 32777, IDM_OPTIONS = 32780,
              IDM_SCHEDULE = 32775, IDM_MANUAL = 32785, IDM_SHOW = 32786, IDM_REPLACE_LINK = 32787;
constexpr int IDC_DOWNLOAD_NOW = 1003, IDC_DOWNLOAD_AT = 1004, IDC_ADD = 1048, IDC_URL = 1049;
constexpr int IDC_PROGRESS_URL = 1002, IDC_PROGRESS_BYTES = 1001, IDC_PROGRESS_RATE = 1055;
constexpr int IDC_REPLACE = 1030, IDC_PICK_NEW = 1031, IDC_ATTENTION_CANCEL = 1056, IDC_NEW_LINK = 1057;

// Beside the pending list: one copy of the program per folder.
constexpr const char* LOCK_FILE = "moonfch_lock.txt";
constexpr uint32_t WORK_TIMER_ID = 17;
constexpr uint32_t WORK_TIMER_MS = 200;
constexpr int ROW_HEIGHT = 44;

constexpr COLORREF COLOUR_BLACK = RGB(0, 0, 0);
constexpr COLORREF COLOUR_WHITE = RGB(255, 255, 255);
constexpr COLORREF COLOUR_PROBLEM = RGB(255, 150, 0);
constexpr COLORREF COLOUR_DONE = RGB(255, 0, 0);

struct RateClock;

// A failed item of the latest download run: its link and the words its row shows.
constexpr size_t FAILURE_TEXT_CAPACITY = STATUS_CAPACITY + 64;
struct RunFailure {
    char url[URL_CAPACITY];
    char reason[FAILURE_TEXT_CAPACITY];
};
// The failures a run's summary names; it counts the others.
constexpr int RUN_FAILURES_KEPT = 3;
// Room for a run's summary: its counts and the failures it names.
constexpr size_t RUN_SUMMARY_CAPACITY = 256 + RUN_FAILURES_KEPT * (URL_CAPACITY + FAILURE_TEXT_CAPACITY);

struct UiState {
    HWND hwndMain;
    HWND hwndToolbar;
    int32_t toolbarHeight;
    int32_t listTop;          // 10 until the toolbar exists, then its height + 10
    int32_t visibleRows;
    int32_t firstRow;
    int32_t focusRow;         // the item the arrow keys move from; past the last item: the last
    int32_t itemCount;
    uint32_t workTimerId;     // 0 while the work timer does not run
    bool workTimerHurried;    // its next tick comes at once: a harvest has more left
    uint32_t scheduleTimerId;
    UrlRequest* currentDownload;
    HWND hwndProgress;
    bool stopAfterCurrent;
    bool runScheduled;        // the schedule started the run (its rate limit may be lifted)
    int32_t runFileCount;
    int64_t runByteCount;
    // The latest run's failures: how many, and the first of them (runFailures up to the count).
    int32_t runFailCount;
    RunFailure runFailures[RUN_FAILURES_KEPT];
    bool runSummaryDue;       // the run just ended: the timer task shows its summary
    RateClock* rateClock;
    bool inTimerTask;
    // The current download as the timer task last saw it: its try (the rate clock restarts with
    // each), the bytes done when the clock restarted, and the part last saved with the list.
    int32_t shownAttempt;
    int64_t rateBase;
    int64_t savedPart;
    int32_t shownPercent = -1;   // of the current file as its progress last showed, -1 unknown
    bool trayShown;           // the program's icon is in the tray
    bool trayNoticeGiven;     // the person has been told once that closing leaves it there
};

extern UiState ui;
extern DownloadOptions downloadOptions;

// Application shell (shell.cpp).
// The whole program, one copy per current folder: the process's exit code, 1 when another copy
// runs in the folder (it is told so in a message box) or the toolkit cannot start (no display:
// it is told so on standard error, before any file is touched).
int MQUI_Main(int argc, char** argv);
bool MQUI_CreateMainWindow();
// Shows the program's icon in the tray, with its tip and menu, where the desktop offers a tray.
void MQUI_ShowTray();
LRESULT MQUI_WndProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
bool MQUI_ConfirmQuit();
void MQUI_Shutdown();
// The ways the main window is closed: its close box, File, Exit (also the tray's), the end of the
// session (log-out or a signal).
enum class CloseBy { CloseBox, FileExit, EndSession };
// Whether a close leaves the program running in the tray, its window hidden, instead of ending it.
bool MQUI_StaysInTray(CloseBy by, bool trayShown, bool armed, bool running);
intptr_t MQUI_AboutProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);

// List view (listview.cpp).
void MQUI_PaintList(HWND window);
void MQUI_Refresh();
int32_t MQUI_RowFromPoint(LPARAM lParam);
void MQUI_ClickRow(LPARAM lParam);
// Up, Down, Home and End move the focus to another item and select only it; other keys do nothing.
void MQUI_MoveFocus(uint32_t key);
// The item the keyboard's focus is on; -1 while the list is empty.
int32_t MQUI_FocusedRow();
void MQUI_SelectAll();
void MQUI_Scroll(HWND window, WPARAM wParam, LPARAM lParam);
void MQUI_SetFirstRow(HWND window, int32_t index);
void MQUI_UpdateScrollRange(HWND window);
// Fills tip with the whole texts of the row under the pointer (lParam as for a click), one a line.
void MQUI_RowToolTip(LPARAM lParam, WinToolTip* tip);
// The selected item when exactly one is selected, else null.
UrlItem* MQUI_OnlySelected();
// The list as screen readers hear it; it lives as long as the program.
WinAccessibleList* MQUI_ListForReaders();

// Toolbar and dropped links (toolbar.cpp).
// Dialog 104, the strip of four controls across the top; the shell creates it as a child of the
// main window.
extern const WinDialogTemplate toolbarTemplate;
intptr_t MQUI_ToolbarProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);
// Adds the link to the list and starts its check; false when it could not (too long, no memory).
// Cookies handed over with the link (not null) go with its requests as MOONQ_AddURL keeps them.
// So is the page the link was found on (referrer, not null).
bool MQUI_AddURL(const char* text, const char* handedCookies = nullptr, const char* referrer = nullptr);
// Adds text as the "Add:" box adds what the person typed: without a known scheme, "http://" first.
bool MQUI_AddTypedURL(const char* text, const char* handedCookies = nullptr, const char* referrer = nullptr);
// What a box for a link takes, in UTF-16 units: one more than a link may hold, so that a text
// the box had to cut is refused as too long instead of added cut.
constexpr int LINK_BOX_LIMIT = int(URL_LENGTH_LIMIT) + 1;
// Room for the whole text of such a box: each UTF-16 unit is at most three bytes of UTF-8.
constexpr size_t LINK_BOX_CAPACITY = 3 * size_t(LINK_BOX_LIMIT) + 1;
// Why a link longer than URL_LENGTH_LIMIT bytes is refused.
constexpr const char* LINK_TOO_LONG = "the link is longer than 2057 bytes";
static_assert(URL_LENGTH_LIMIT == 2057, "LINK_TOO_LONG names the limit");
// The main window's drop target; its link test reads downloadOptions' allowHTML copy.
WinDropTarget* MQUI_DropTarget();
void MQUI_SetAllowHTML(int32_t allow);

// The command line (cmdline.cpp).
struct CommandLine {
    bool dataFolder, downloadNow, list, help, version;
    std::vector<std::string> links;   // from the arguments and --input, the refused ones left out
    int refused;                      // links refused, each told on standard error
};
// Reads the arguments (and --input's file) into *line, telling every error on standard error:
// -1 to go on, else the exit code to end with at once (0 after --help or --version, which it
// printed; 2 after a usage error, an unreadable --input or when every link was refused).
int MQUI_ReadCommandLine(int argc, char** argv, CommandLine* line);
// Why a link cannot be added as the "Add:" box adds typed text, or null when it can.
const char* MQUI_LinkRefusal(const std::string& link);
// The pending list, one item a line: URL, size, state and local path, TAB-separated.
void MQUI_ListLines(std::vector<std::string>* lines);
// Prints the lines of the pending-list file in the current folder, without the core started.
void MQUI_PrintSavedList();
// Makes $XDG_DATA_HOME/moonfetch (mode 0700 when new) and makes it the current folder: 0, or
// the errno of the failed step, told on standard error.
int MQUI_EnterDataFolder();

// Timer task and download progress (timertask.cpp).
// The "Download Progress" dialog, modeless, owned by the main window while a run shows it.
extern const WinDialogTemplate progressTemplate;
// Counts of the steady clock: where the current file's download began, and counts per second.
struct RateClock {
    double frequency;
    int64_t start;
};
void MQUI_TimerTask(HWND window);
// Begins a run of the ready items; the schedule's (scheduled) runs without the rate limit when
// the person chose so.
void MQUI_StartDownloads(bool scheduled = false);
void MQUI_ShowDownloading(const char* url);
// Shows done of total in the progress dialog, the rate over connections (those running now).
void MQUI_ShowProgress(int64_t done, int64_t total, int32_t connections = 1);
intptr_t MQUI_ProgressProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);
RateClock* RateClock_Start();
void RateClock_Free(RateClock* clock);
double RateClock_Seconds(const RateClock* clock);

// A run on the desktop (desktop.cpp).
// Keeps the computer from sleeping while item downloads, in place of the last file's hold.
void MQUI_KeepAwakeFor(const UrlItem* item);
void MQUI_LetSleep();
// The run is over: the computer may sleep, and a notification tells what the run brought.
void MQUI_RunEnded();
// Shows text (lines apart with "\n") as the notification of a run's end.
void MQUI_NotifyRunEnd(const char* text);
// Whether a scheduled start is still to come: the toolbar's "Download At" is checked and the
// schedule's timer waits (after a start came, only "Every night" arms the next).
bool MQUI_ScheduleArmed();
constexpr size_t TRAY_TIP_CAPACITY = URL_CAPACITY + 64;
// The tray icon's tip for the state now (MQUI_TrayTipText's, with the schedule as it is armed).
void MQUI_TrayTip(char* text, size_t size);
// Brings the tray icon's tip up to date; nothing while no icon is shown.
void MQUI_UpdateTray();
// Hides the main window, leaving the program in the tray; the first time, a notification says so.
void MQUI_HideToTray();

// Dialogs of the local file choice and of a new link's harvest (localfiles.cpp); installed into
// the core's check-back.
int MQUI_AskSaveName(char* path, size_t size);
int MQUI_AskReplace();
intptr_t MQUI_AttentionProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);
void MQUI_NameConflictBox();
int MQUI_AskStartOver();
void MQUI_LinkNotTakenBox(const char* reason);
// Hands the dialogs above to the core's check-back.
void MQUI_InstallCheckBackDialogs();
