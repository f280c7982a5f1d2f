#include "ui/ui.h"

#include "core/items.h"
#include "core/pending.h"
#include "core/start.h"
#include "diag/trace.h"
#include "handoff/transport.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "ui/boxes.h"
#include "ui/dialogs/cookiesdialog.h"
#include "ui/dialogs/optionsdialog.h"
#include "ui/dialogs/scheduledialog.h"
#include "ui/dialogs/startup.h"
#include "ui/fixrow.h"
#include "window/desktop.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

UiState ui = [] {
    UiState state{};
    state.listTop = 10;
    state.visibleRows = 5;
    return state;
}();

DownloadOptions downloadOptions;

namespace {

constexpr const char* TITLE = "Moonfetch";
constexpr const char* QUIT_WARNING =
    "Scheduled download will not occur if you quit. Moonfetch must be running at scheduled time.";
// The program's own files: beside it in the build tree, else where the install put them.
struct ProgramFile {
    const char* beside;
    const char* installed;
};
constexpr ProgramFile MANUAL = {"docs/manual.html", MOON_SHARE_DIR "/doc/moonfetch/manual.html"};
constexpr ProgramFile ICON_LARGE = {"icons/moonfetch-32.png",
                                    MOON_SHARE_DIR "/icons/hicolor/32x32/apps/" MOON_APP_ID ".png"};
constexpr ProgramFile ICON_SMALL = {"icons/moonfetch-16.png",
                                    MOON_SHARE_DIR "/icons/hicolor/16x16/apps/" MOON_APP_ID ".png"};
constexpr const char* ALREADY_RUNNING = "Moonfetch is already running in this folder.";
// How long a second start waits for the running copy to listen and to answer.
constexpr int HANDOFF_WAIT_MS = 2000;
constexpr int HANDOFF_RETRY_MS = 100;
// The copy adds every link before it answers, so a long request may take it longer to answer.
constexpr int HANDOFF_WAIT_PER_LINK_MS = 1;
constexpr const char* NOT_ADDED = "Moonfetch could not add the link";
// A request that comes while the person has a dialog or a box to answer waits for nothing: its
// sender is told so at once, and its links are not added later.
constexpr const char* WAITING = "Moonfetch is waiting for you";
// Unseen, the program would hold the folder's lock with nobody to close it.
constexpr const char* NO_DISPLAY = "Moonfetch needs a display: set DISPLAY or WAYLAND_DISPLAY, or "
                                   "QT_QPA_PLATFORM=offscreen to run without one.";
constexpr const char* LOCK_IS_LINK =
    "The lock file moonfch_lock.txt in this folder is a symbolic link. Moonfetch does not follow "
    "it; remove the link to start Moonfetch here.";

// The icons lie beside the program; their full paths are found once, at window creation.
char iconLargePath[PATH_CAPACITY];
char iconSmallPath[PATH_CAPACITY];

constexpr WinMenuItem MAIN_MENU[] = {
    {"&File", "E&xit", IDM_EXIT},
    {"&Edit", "&Undo", IDM_UNDO},
    {"&Edit", "&Delete", IDM_DELETE},
    {"&Edit", "Select A&ll", IDM_SELECT_ALL},
    {"&Edit", "&Replace Link...", IDM_REPLACE_LINK},
    {"&Options", "&Cookies...", IDM_COOKIES},
    {"&Options", "Download Options...", IDM_OPTIONS},
    {"&Options", "&Schedule Downloads...", IDM_SCHEDULE},
    {"&Help", "&About ...", IDM_ABOUT},
    {"&Help", "&User Manual...", IDM_MANUAL},
};

// The tray icon's menu: its items send the same commands as the window's menu and toolbar.
constexpr WinMenuItem TRAY_MENU[] = {
    {"", "Show Moonfetch", IDM_SHOW},
    {"", "Download Now", IDC_DOWNLOAD_NOW},
    {"", "Exit", IDM_EXIT},
};

constexpr WinAccelerator ACCELERATORS[] = {{'?', IDM_ABOUT}, {'/', IDM_ABOUT}};

const WinControlTemplate ABOUT_CONTROLS[] = {
    {-1, WinControl::Icon, iconLargePath, 0, 14, 9, 21, 20},
    {-1, WinControl::Static, "Moonfetch Version 1.1", 0, 41, 10, 119, 8},
    {IDOK, WinControl::DefPushButton, "OK", WS_TABSTOP | WS_GROUP, 179, 13, 30, 11},
};

const WinDialogTemplate ABOUT_TEMPLATE = {
    IDD_ABOUT, "About Moonfetch", false, 20, 30, 225, 111, "System", 8,
    ABOUT_CONTROLS, std::size(ABOUT_CONTROLS),
};

// The file's path beside the program when it is there, else under the install prefix when it is
// there, else beside the program all the same (whose failure to open is not reported).
std::string programFile(const ProgramFile& file)
{
    const std::filesystem::path dir = Plat_Path(Plat_ProgramDir());
    std::error_code error;
    const bool installed = !std::filesystem::exists(dir / file.beside, error) &&
                           std::filesystem::exists(dir / file.installed, error);
    return Plat_PathText((dir / (installed ? file.installed : file.beside)).lexically_normal());
}

// The manual in the current folder wins over the program's.
std::string manualPath()
{
    std::error_code error;
    return std::filesystem::exists(MANUAL.beside, error) ? MANUAL.beside : programFile(MANUAL);
}

void closeMainWindow()
{
    if (MQUI_ConfirmQuit())
        Win_DestroyWindow(ui.hwndMain);
}

void showMainWindow()
{
    Win_ShowWindow(ui.hwndMain);
}

// Only when the toolbar's button would be enabled: links wait and nothing runs.
void downloadNow()
{
    if (ui.itemCount > 0 && ui.workTimerId == 0)
        MQUI_StartDownloads();
}

// Asked for from outside: the run starts once the links being checked are checked.
bool downloadNowDue = false;

void downloadNowWhenChecked()
{
    downloadNowDue = ui.workTimerId != 0;
    if (!downloadNowDue)
        downloadNow();
}

// Adds link as typed into "Add:", with the cookies and the page handed over with it; its result
// for whoever handed it over.
HandoffResult addLink(const std::string& link, const std::string& cookieHeader = "", const std::string& referrer = "")
{
    const char* reason = MQUI_LinkRefusal(link);
    const bool added = reason == nullptr &&
                       MQUI_AddTypedURL(link.c_str(), cookieHeader.empty() ? nullptr : cookieHeader.c_str(),
                                        referrer.empty() ? nullptr : referrer.c_str());
    return {link, added, added ? "" : reason != nullptr ? reason : NOT_ADDED};
}

// A request of another process: a second start, the browser's host or --list.
void onHandoff(const HandoffRequest& request, HandoffAnswer* answer)
{
    const bool waiting = ui.hwndMain == nullptr || Win_ModalShowing();
    if (request.list) {
        if (!waiting)
            MQUI_ListLines(&answer->listLines);
        return;
    }
    if (waiting) {
        for (const HandoffLink& link : request.links)
            answer->results.push_back({link.url, false, WAITING});
        return;
    }
    for (const HandoffLink& link : request.links)
        answer->results.push_back(addLink(link.url, link.cookieHeader, link.referrer));
    if (request.raise)
        showMainWindow();
    if (request.downloadNow)
        downloadNowWhenChecked();
}

// The name the copies of one folder find each other by.
std::string dataFolder()
{
    std::error_code error;
    return Plat_PathText(std::filesystem::current_path(error));
}

void undoDelete()
{
    MOONQ_UndoDelete();
    MOONQ_SavePending();
    MQUI_Refresh();
}

// Refused while a worker may hold one of the items, but the view is refreshed all the same.
void deleteSelected()
{
    if (ui.workTimerId == 0) {
        MOONQ_DeleteSelected();
        MOONQ_SavePending();
    }
    MQUI_Refresh();
}

// Only as the menu item is enabled: a new link is for one file.
void replaceLink()
{
    if (UrlItem* selected = MQUI_OnlySelected())
        MQUI_ReplaceLink(selected);
}

void showAbout()
{
    Win_DialogBox(ABOUT_TEMPLATE, ui.hwndMain, MQUI_AboutProc, 0);
}

void openManual()
{
    MQUI_OpenDocument(manualPath().c_str());
}

void showSchedule()
{
    ScheduleDialogContext context{ui.hwndToolbar, ui.hwndMain, &ui.scheduleTimerId};
    Win_DialogBox(scheduleTemplate, ui.hwndMain, ScheduleDialogProc, LPARAM(&context));
}

void showOptions()
{
    OptionsDialogArgs args = {&downloadOptions, MQUI_SetAllowHTML};
    Win_DialogBox(optionsTemplate, ui.hwndMain, OptionsDialogProc, LPARAM(&args));
}

// Requests copy the cookie source when they start: no change while any of them runs.
void chooseCookies()
{
    if (ui.workTimerId == 0)
        CookieSource_Choose(1, ui.hwndMain, &downloadOptions);
}

struct Command {
    int id;
    void (*run)();
};

constexpr Command COMMANDS[] = {
    {IDM_EXIT, closeMainWindow},
    {IDM_UNDO, undoDelete},
    {IDM_DELETE, deleteSelected},
    {IDM_SELECT_ALL, MQUI_SelectAll},
    {IDM_REPLACE_LINK, replaceLink},
    {IDM_COOKIES, chooseCookies},
    {IDM_OPTIONS, showOptions},
    {IDM_SCHEDULE, showSchedule},
    {IDM_ABOUT, showAbout},
    {IDM_MANUAL, openManual},
    {IDM_SHOW, showMainWindow},
    {IDC_DOWNLOAD_NOW, downloadNow},
};

void onSize(HWND, WPARAM, LPARAM lParam)
{
    int32_t rows = (HIWORD(uintptr_t(lParam)) - ui.listTop) / ROW_HEIGHT;
    ui.visibleRows = rows < 0 ? 0 : rows;
    if (ui.hwndToolbar)
        Win_MoveWindow(ui.hwndToolbar, 0, 0, LOWORD(uintptr_t(lParam)), ui.toolbarHeight);
    MQUI_Refresh();
}

void onPaint(HWND window, WPARAM, LPARAM)
{
    MQUI_PaintList(window);
}

void onVScroll(HWND window, WPARAM wParam, LPARAM lParam)
{
    MQUI_Scroll(window, wParam, lParam);
}

void onLButtonUp(HWND, WPARAM, LPARAM lParam)
{
    MQUI_ClickRow(lParam);
}

// The fix may delete and recreate an item's local file: not while a worker may hold it.
void onLButtonDblClk(HWND, WPARAM, LPARAM lParam)
{
    if (ui.workTimerId == 0)
        MQUI_FixRow(lParam);
}

void onKeyDown(HWND, WPARAM wParam, LPARAM)
{
    if (wParam == VK_DELETE)
        deleteSelected();
    else if (wParam == 'A' && Win_ControlKeyDown())
        MQUI_SelectAll();
    else if (wParam == VK_RETURN && ui.workTimerId == 0)   // the double-click's fix, on the focused row
        MQUI_FixItemAt(MQUI_FocusedRow());
    else
        MQUI_MoveFocus(uint32_t(wParam));
}

// The schedule's start begins the same run as "Download Now"; what tells of a start to come
// (the tray's tip, rows whose links expire before it) follows what the schedule did.
void scheduleLook(HWND window)
{
    if (!Schedule_OnTimer(window, ui.hwndToolbar))
        return;
    MQUI_StartDownloads(true);
    MQUI_Refresh();
}

void onTimer(HWND window, WPARAM wParam, LPARAM)
{
    if (wParam == WORK_TIMER_ID) {
        MQUI_TimerTask(window);
        if (downloadNowDue && ui.workTimerId == 0)
            downloadNowWhenChecked();
    } else if (ui.scheduleTimerId != 0 && wParam == ui.scheduleTimerId)
        scheduleLook(window);
}

// The timer's monotonic time stood still while the computer slept: the schedule looks at the
// clock now rather than at the next tick.
void onPowerBroadcast(HWND window, WPARAM wParam, LPARAM)
{
    if (wParam == PBT_APMRESUMEAUTOMATIC)
        scheduleLook(window);
}

void onCommand(HWND, WPARAM wParam, LPARAM)
{
    for (const Command& command : COMMANDS) {
        if (command.id == LOWORD(wParam)) {
            command.run();
            return;
        }
    }
}

void onClose(HWND, WPARAM, LPARAM)
{
    if (MQUI_StaysInTray(CloseBy::CloseBox, ui.trayShown, MQUI_ScheduleArmed(), ui.currentDownload != nullptr))
        MQUI_HideToTray();
    else
        closeMainWindow();
}

void onDestroy(HWND, WPARAM, LPARAM)
{
    MQUI_Shutdown();
}

// Log-out, a kill or Ctrl+C in the terminal: closed as File, Exit closes, but without asking,
// since nobody is there to answer. The display going away closes it so too; the process then
// ends at once with an error, and the log says why.
void onEndSession(HWND, WPARAM wParam, LPARAM lParam)
{
    if (wParam == 0)
        return;
    if (lParam & ENDSESSION_CRITICAL)
        Trace_Print(TRACE_ALL, "MQUI_WndProc, the display went away: the list is saved and Moonfetch ends");
    Win_DestroyWindow(ui.hwndMain);
}

void onGetToolTip(HWND, WPARAM wParam, LPARAM lParam)
{
    MQUI_RowToolTip(lParam, reinterpret_cast<WinToolTip*>(wParam));
}

struct MessageHandler {
    uint32_t message;
    void (*handle)(HWND window, WPARAM wParam, LPARAM lParam);
};

constexpr MessageHandler MESSAGES[] = {
    {WM_SIZE, onSize},
    {WM_PAINT, onPaint},
    {WM_VSCROLL, onVScroll},
    {WM_LBUTTONUP, onLButtonUp},
    {WM_LBUTTONDBLCLK, onLButtonDblClk},
    {WM_KEYDOWN, onKeyDown},
    {WM_TIMER, onTimer},
    {WM_COMMAND, onCommand},
    {WM_CLOSE, onClose},
    {WM_DESTROY, onDestroy},
    {WM_ENDSESSION, onEndSession},
    {WM_GETTOOLTIP, onGetToolTip},
    {WM_POWERBROADCAST, onPowerBroadcast},
};

// Cancels the current download and waits a moment for its worker. Returns its item when the
// worker did not end: that item must not be released, as the worker may still write into it.
UrlItem* stopCurrentDownload()
{
    UrlRequest* request = ui.currentDownload;
    if (request == nullptr)
        return nullptr;
    ui.currentDownload = nullptr;
    MOONQ_CancelRequest(request);
    if (!MOONQ_StopRequest(request, 1000))
        return request->item;
    // A file that completed just now leaves the list; any other keeps its place for next time.
    if (request->result.load(std::memory_order_acquire) == RESULT_DOWNLOADED)
        MOONQ_CheckBackDown(request);
    MOONQ_FreeRequest(request);
    return nullptr;
}

// The lock's results that have words of their own; any other failure is told by its reason.
struct LockRefusal {
    int error;
    const char* text;
};
constexpr LockRefusal LOCK_REFUSALS[] = {{0, ""}, {ELOOP, LOCK_IS_LINK}};

// Why Moonfetch must not start in this folder, after the lock's result; empty when it may.
std::string lockRefusal(int error)
{
    for (const LockRefusal& refusal : LOCK_REFUSALS)
        if (refusal.error == error)
            return refusal.text;
    return std::string("Moonfetch cannot lock the file ") + LOCK_FILE + " in this folder: " +
           std::error_code(error, std::generic_category()).message() + ".";
}

// Tells on standard error each link that was not added; how many.
int tellNotAdded(const std::vector<HandoffResult>& results)
{
    int count = 0;
    for (const HandoffResult& result : results) {
        if (result.added)
            continue;
        std::fprintf(stderr, "moonfetch: %s: %s\n", result.url.c_str(), result.reason.c_str());
        ++count;
    }
    return count;
}

// From the core's start to the end of the message loop; returns the process's exit code.
int runProgram(const CommandLine& line)
{
    downloadOptions = DownloadOptions{};
    int result = MOONQ_Start();
    if (result < 0)
        return result;
    MOONQ_LoadPending();
    if (!MQUI_CreateMainWindow())
        return 0;
    Win_ListenForEndSession(ui.hwndMain);
    MQUI_LoadSettings(ui.hwndMain, ui.hwndToolbar, &downloadOptions, MQUI_SetAllowHTML);
    MQUI_Refresh();
    MQUI_InstallCheckBackDialogs();
    HandoffAnswer added;
    for (const std::string& link : line.links)
        added.results.push_back(addLink(link));
    const int notAdded = tellNotAdded(added.results);
    if (line.downloadNow)
        downloadNowWhenChecked();
    result = Win_RunMessageLoop();
    return result == 0 && notAdded + line.refused > 0 ? 2 : result;
}

// Prints the pending list: the running copy's when one answers, else the file's.
int printList()
{
    HandoffRequest request;
    request.list = true;
    request.raise = false;
    HandoffAnswer answer;
    if (Handoff_Send(dataFolder().c_str(), request, &answer, HANDOFF_WAIT_MS) != HANDOFF_OK) {
        MQUI_PrintSavedList();
        return 0;
    }
    for (const std::string& text : answer.listLines)
        std::printf("%s\n", text.c_str());
    return 0;
}

// Sends one request, waiting for a copy that took the lock a moment ago and may not listen yet.
int sendRequest(const HandoffRequest& request, HandoffAnswer* answer)
{
    int result = HANDOFF_NO_COPY;
    for (int waited = 0; result == HANDOFF_NO_COPY && waited < HANDOFF_WAIT_MS; waited += HANDOFF_RETRY_MS) {
        result = Handoff_Send(dataFolder().c_str(), request, answer,
                                 HANDOFF_WAIT_MS + HANDOFF_WAIT_PER_LINK_MS * int(request.links.size()));
        if (result == HANDOFF_NO_COPY)
            std::this_thread::sleep_for(std::chrono::milliseconds(HANDOFF_RETRY_MS));
    }
    return result;
}

// Tells why the links did not reach the copy: on standard error, and in a box as well only for
// a start from the desktop with nothing to hand over, where nobody reads standard error; a
// start with links or options may be a script's, which a box would hold up.
void tellNotHandedOver(const CommandLine& line, int result, size_t links)
{
    std::string text;
    if (result == HANDOFF_TOO_BIG) {
        text = "too many links at once: " + std::to_string(links) + "; at most " +
               std::to_string(HANDOFF_LINKS_PER_REQUEST);
    } else {
        text = ALREADY_RUNNING;
        if (const long holder = Plat_LockHolder(LOCK_FILE))
            text += " Its process " + std::to_string(holder) + " does not answer.";
    }
    std::fprintf(stderr, "moonfetch: %s\n", text.c_str());
    if (line.links.empty() && line.refused == 0 && !line.downloadNow)
        MQUI_ErrorBox(text.c_str());
}

// Hands this start's links and wishes to the copy that holds the folder's lock, in requests
// that each fit a frame. A copy that does not answer in time is hung: the person is told, with
// its process id, and the request tells the copy to drop what comes after its sender gave up.
int handOff(const CommandLine& line)
{
    HandoffRequest whole;
    for (const std::string& link : line.links)
        whole.links.push_back({link, "", ""});
    whole.downloadNow = line.downloadNow;
    std::vector<HandoffResult> results;
    for (const HandoffRequest& request : Handoff_Split(whole)) {
        HandoffAnswer answer;
        const int result = sendRequest(request, &answer);
        if (result != HANDOFF_OK) {
            tellNotHandedOver(line, result, request.links.size());
            return 1;
        }
        results.insert(results.end(), answer.results.begin(), answer.results.end());
    }
    return tellNotAdded(results) + line.refused > 0 ? 2 : 0;
}

}  // namespace

int MQUI_Main(int argc, char** argv)
{
    CommandLine line;
    const int early = MQUI_ReadCommandLine(argc, argv, &line);
    if (early >= 0)
        return early;
    // The arguments are Moonfetch's own: no link is taken for one of the toolkit's options.
    int toolkitArguments = 1;
    if (!line.list && !Win_Init(&toolkitArguments, argv)) {
        std::fprintf(stderr, "%s\n", NO_DISPLAY);
        return 1;
    }
    if (line.dataFolder && MQUI_EnterDataFolder() != 0)
        return 1;
    if (line.list)
        return printList();
    // Before the core starts, which truncates the log: a second copy must touch no file, and
    // a copy that cannot tell whether it is the second does not start.
    const int lock = Plat_LockInstance(LOCK_FILE);
    if (lock == EWOULDBLOCK)
        return handOff(line);
    const std::string refusal = lockRefusal(lock);
    if (!refusal.empty()) {
        MQUI_ErrorBox(refusal.c_str());
        return 1;
    }
    // From the start, before any dialog, so that nobody who hands links over starts another
    // copy or waits in vain; until the window is up, requests are told the copy waits.
    Handoff_Serve(dataFolder().c_str(), onHandoff);
    int exitCode = runProgram(line);
    Handoff_Close();
    Plat_UnlockInstance();
    return exitCode;
}

bool MQUI_CreateMainWindow()
{
    std::snprintf(iconLargePath, sizeof iconLargePath, "%s", programFile(ICON_LARGE).c_str());
    std::snprintf(iconSmallPath, sizeof iconSmallPath, "%s", programFile(ICON_SMALL).c_str());
    // Where an installed program found its files, for a person who wonders.
    Trace_PrintString(TRACE_ALL, "MQUI_CreateMainWindow, icon %s\n", iconLargePath);
    Trace_PrintString(TRACE_ALL, "MQUI_CreateMainWindow, manual %s\n", manualPath().c_str());
    const WinMainTemplate main = {
        TITLE, iconLargePath, iconSmallPath, MAIN_MENU, std::size(MAIN_MENU),
        ACCELERATORS, std::size(ACCELERATORS), MQUI_WndProc,
    };
    ui.hwndMain = Win_CreateMainWindow(main);
    if (ui.hwndMain == nullptr)
        return false;
    Win_SetAccessibleList(ui.hwndMain, MQUI_ListForReaders());
    ui.hwndToolbar = Win_CreateDialog(toolbarTemplate, ui.hwndMain, MQUI_ToolbarProc, 0);
    Win_ShowWindow(ui.hwndToolbar);
    if (ui.hwndToolbar) {
        WinRect bar = Win_GetWindowRect(ui.hwndToolbar);
        ui.toolbarHeight = bar.bottom - bar.top;
        ui.listTop = ui.toolbarHeight + 10;
    }
    Win_ShowWindow(ui.hwndMain);
    // Delete and Control+A act on the list until the person clicks into the toolbar.
    Win_SetFocus(ui.hwndMain);
    Win_EnableWindow(ui.hwndMain, true);
    Win_ListenForWake(ui.hwndMain);
    MQUI_ShowTray();
    return Win_RegisterDropTarget(ui.hwndMain, MQUI_DropTarget());
}

void MQUI_ShowTray()
{
    ui.trayShown = Win_TrayAvailable();
    if (!ui.trayShown)
        return;
    char tip[TRAY_TIP_CAPACITY];
    MQUI_TrayTip(tip, sizeof tip);
    Win_TrayShow(ui.hwndMain, iconSmallPath, tip, TRAY_MENU, std::size(TRAY_MENU));
}

LRESULT MQUI_WndProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    for (const MessageHandler& handler : MESSAGES) {
        if (handler.message == message) {
            handler.handle(window, wParam, lParam);
            break;
        }
    }
    return 0;
}

// Only the close box leaves the program in the tray, and only with something to wait for: File,
// Exit and the end of the session end it as ever, and without a tray nothing would show it.
bool MQUI_StaysInTray(CloseBy by, bool trayShown, bool armed, bool running)
{
    return by == CloseBy::CloseBox && trayShown && (armed || running);
}

bool MQUI_ConfirmQuit()
{
    if (MOONQ_CountItems() < 1 || !MQUI_ScheduleArmed())
        return true;
    // The question stands over the main window, brought out of the tray for it: a box of its own
    // opens wherever the desktop puts new windows, behind others on some (Wayland's), and far
    // from the program it asks about.
    showMainWindow();
    return Win_MessageBox(ui.hwndMain, QUIT_WARNING, nullptr, MB_OKCANCEL) == IDOK;
}

void MQUI_Shutdown()
{
    UrlItem* stillWritten = stopCurrentDownload();
    MOONQ_SavePending();
    if (stillWritten)
        List_Remove(&stillWritten->link);
    if (ui.rateClock) {
        RateClock_Free(ui.rateClock);
        ui.rateClock = nullptr;
    }
    MOONQ_Stop();
    MQUI_LetSleep();
    Schedule_StopTimer(ui.hwndMain);
    Win_DestroyWindow(ui.hwndProgress);
    // The other windows go with the main window, and their timers with them.
    ui.hwndMain = ui.hwndToolbar = ui.hwndProgress = nullptr;
    ui.workTimerId = ui.scheduleTimerId = 0;
    ui.trayShown = false;
    Win_PostQuitMessage(0);
}

intptr_t MQUI_AboutProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return 1;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        Win_EndDialog(dialog, LOWORD(wParam));
        return 1;
    }
    return 0;
}
