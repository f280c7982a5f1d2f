#include "cookiesource.h"

#include "files.h"
#include "profiles.h"
#include "text.h"
#include "trace.h"
#include "urlparse.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

namespace {

constexpr const char* ERROR_CAPTION = "Error in Moonfetch";
constexpr const char* ERR_LOADING = "Error loading Netscape cookies.";
constexpr const char* ERR_BLANK = "Blank Netscape cookie file name specified.";
constexpr const char* ERR_OPEN = "Could not open Netscape cookie file for specified user.";
constexpr const char* COOKIE_FILE_NAME = "cookies.txt";
constexpr const char* NO_USER = "Nobody";
// What "\cookies.txt" adds to a profile directory, with room to spare as the original has.
constexpr uint32_t COOKIE_NAME_ROOM = 13;

constexpr WinControlTemplate COOKIES_CONTROLS[] = {
    {-1, WinControl::Static,
     "Cookies are bits of information stored on your machine by various web sites. They are used "
     "by Moonfetch to prevent some sites from asking for e-mail addresses which would prevent "
     "automated downloading.",
     0, 7, 7, 246, 34},
    {-1, WinControl::Static,
     "To setup cookies for a web site, download something once using just your browser.", 0, 7, 42, 246, 17},
    {-1, WinControl::GroupBox, "Use", 0, 7, 61, 246, 47},
    {IDC_COOKIES_NONE, WinControl::RadioButton, "No cookies", WS_GROUP | WS_TABSTOP, 15, 72, 110, 10},
    {IDC_COOKIES_NETSCAPE, WinControl::RadioButton, "Netscape cookies", 0, 15, 83, 110, 10},
    {IDC_COOKIES_SYSTEM, WinControl::RadioButton, "Internet Explorer cookies", 0, 15, 94, 130, 10},
    {-1, WinControl::GroupBox, "Whose Netscape cookies should we use?", WS_GROUP, 7, 112, 246, 52},
    {IDC_COOKIE_BY_USER, WinControl::RadioButton, "User:", WS_GROUP | WS_TABSTOP, 15, 126, 36, 10},
    {IDC_COOKIE_USERS, WinControl::ListBox, "", WS_TABSTOP, 55, 125, 190, 12},
    {IDC_COOKIE_BY_FILE, WinControl::RadioButton, "File:", 0, 15, 145, 36, 10},
    {IDC_COOKIE_FILE, WinControl::Edit, "", WS_TABSTOP, 55, 143, 138, 13},
    {IDC_COOKIE_BROWSE, WinControl::PushButton, "Browse...", WS_TABSTOP, 198, 142, 47, 14},
    {IDOK, WinControl::DefPushButton, "OK", WS_GROUP | WS_TABSTOP, 146, 171, 50, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 203, 171, 50, 14},
};

constexpr WinDialogTemplate COOKIES_DIALOG = {
    IDD_COOKIES, "Select Source for Cookies", false, 20, 30, 260, 192, "MS Sans Serif", 8,
    COOKIES_CONTROLS, std::size(COOKIES_CONTROLS)};

// The controls of the Netscape group, in the order they are switched.
constexpr int NETSCAPE_CONTROLS[] = {IDC_COOKIE_BY_FILE, IDC_COOKIE_BY_USER, IDC_COOKIE_USERS,
                                     IDC_COOKIE_FILE, IDC_COOKIE_BROWSE};

// The radio button of each cookie source, by COOKIES_* number.
constexpr int SOURCE_BUTTONS[] = {IDC_COOKIES_NONE, IDC_COOKIES_NETSCAPE, IDC_COOKIES_SYSTEM};

// The arguments of the dialog that is open now (it is modal, so there is at most one).
const CookiesDialogArgs* openDialog = nullptr;

int32_t errorBox(HWND mainWindow, const char* text, int32_t result)
{
    Win_MessageBox(mainWindow, text, ERROR_CAPTION, MB_OK | MB_ICONEXCLAMATION);
    return result;
}

// A negative result is told to the person before it is returned.
int32_t reportNegative(HWND mainWindow, int32_t result)
{
    return result < 0 ? errorBox(mainWindow, ERR_LOADING, result) : result;
}

int32_t readCookieString(const char* name, char* buffer, uint32_t capacity)
{
    uint32_t size = capacity;
    return Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, name, buffer, &size);
}

// Resolves the profile's cookie file into path and sets *check when there is one to check;
// otherwise the result is the one to end the load with.
int32_t profileCookieFile(HWND mainWindow, char (&path)[COOKIE_PATH_SIZE], bool* check)
{
    *check = false;
    char user[COOKIE_USER_SIZE];
    int32_t result = readCookieString(REG_VAL_USER_NAME, user, sizeof user);
    if (result != REG_OK)
        return result;
    uint32_t size = sizeof path;
    if (Netscape_GetProfileDir(user, path, &size) != 0)
        return errorBox(mainWindow, ERR_LOADING, -1);
    Trace_PrintString(TRACE_ALL, "CookieDir: %s\n", path);
    if (size == 0 || size + COOKIE_NAME_ROOM >= sizeof path)
        return 0;
    size_t length = std::strlen(path);
    path[length] = PATH_SEP;
    std::memcpy(path + length + 1, COOKIE_FILE_NAME, std::strlen(COOKIE_FILE_NAME) + 1);
    *check = true;
    return 0;
}

// The last step of a Netscape load: the file must have a name and open for reading.
int32_t checkCookieFile(HWND mainWindow, const char* path, DownloadOptions* options)
{
    options->cookieFile[0] = '\0';
    if (*path == '\0')
        return errorBox(mainWindow, ERR_BLANK, -1);
    // A folder opens for reading here, though not on Windows: it is no cookie file either.
    std::error_code error;
    std::FILE* file = std::filesystem::is_directory(path, error) ? nullptr : std::fopen(path, "r");
    if (file == nullptr)
        return errorBox(mainWindow, ERR_OPEN, -1);
    std::fclose(file);
    CopyBounded(options->cookieFile, path);
    return 0;
}

void checkRadioButton(HWND dialog, int first, int last, int check)
{
    for (int id = first; id <= last; ++id)
        Win_SetChecked(Win_GetDlgItem(dialog, id), id == check);
}

// Shows the source's button checked and the Netscape group as that source wants it.
void showSource(HWND dialog, int button, int32_t ifOther)
{
    checkRadioButton(dialog, IDC_COOKIES_NONE, IDC_COOKIES_SYSTEM, button);
    bool netscape = button == IDC_COOKIES_NETSCAPE;
    if (netscape)
        Netscape_ListUsers(dialog, IDC_COOKIE_USERS);
    else
        Win_ListResetContent(Win_GetDlgItem(dialog, IDC_COOKIE_USERS));
    EnableNetscapeControls(dialog, netscape);
    if (netscape)
        checkRadioButton(dialog, IDC_COOKIE_BY_USER, IDC_COOKIE_BY_FILE,
                         ifOther ? IDC_COOKIE_BY_FILE : IDC_COOKIE_BY_USER);
}

void initDialog(HWND dialog, const CookiesDialogArgs* args)
{
    openDialog = args;
    const DownloadOptions& options = *args->options;
    bool known = options.cookieSource >= 0 && options.cookieSource < int32_t(std::size(SOURCE_BUTTONS));
    if (known)
        showSource(dialog, SOURCE_BUTTONS[options.cookieSource], options.ifOther);
    char name[COOKIE_PATH_SIZE];
    if (readCookieString(REG_VAL_OTHER_NAME, name, sizeof name) == REG_OK) {
        HWND edit = Win_GetDlgItem(dialog, IDC_COOKIE_FILE);
        Win_LimitText(edit, int(COOKIE_PATH_SIZE));
        Win_SetWindowText(edit, name);
    }
}

bool isChecked(HWND dialog, int id)
{
    return Win_IsChecked(Win_GetDlgItem(dialog, id));
}

void onOk(HWND dialog, DownloadOptions* options)
{
    if (isChecked(dialog, IDC_COOKIES_NONE)) {
        options->cookieSource = COOKIES_NONE;
    } else if (isChecked(dialog, IDC_COOKIES_NETSCAPE)) {
        HWND list = Win_GetDlgItem(dialog, IDC_COOKIE_USERS);
        char user[COOKIE_USER_SIZE] = "";
        if (Win_ListCount(list) > 0)
            CopyBounded(user, Win_ListText(list, Win_ListGetTopIndex(list)).c_str());
        options->cookieSource = COOKIES_NETSCAPE;
        Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_USER_NAME, user);
    } else if (isChecked(dialog, IDC_COOKIES_SYSTEM)) {
        options->cookieSource = COOKIES_SYSTEM;
    }
    options->ifOther = isChecked(dialog, IDC_COOKIE_BY_FILE) ? 1 : 0;
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, options->cookieSource);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, options->ifOther);
    char name[COOKIE_PATH_SIZE];
    Win_GetWindowText(Win_GetDlgItem(dialog, IDC_COOKIE_FILE), name, sizeof name);
    Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_OTHER_NAME, name);
    Win_EndDialog(dialog, IDOK);
}

void onBrowse(HWND dialog)
{
    HWND edit = Win_GetDlgItem(dialog, IDC_COOKIE_FILE);
    char name[COOKIE_PATH_SIZE];
    Win_GetWindowText(edit, name, sizeof name);
    if (BrowseForCookieFile(openDialog->mainWindow, name, sizeof name) == 1)
        Win_SetWindowText(edit, name);
}

bool onCommand(HWND dialog, int id)
{
    switch (id) {
    case IDC_COOKIES_NONE:
    case IDC_COOKIES_NETSCAPE:
    case IDC_COOKIES_SYSTEM:
        showSource(dialog, id, openDialog->options->ifOther);
        return true;
    case IDC_COOKIE_BY_USER:
    case IDC_COOKIE_BY_FILE:
        checkRadioButton(dialog, IDC_COOKIE_BY_USER, IDC_COOKIE_BY_FILE, id);
        return true;
    case IDC_COOKIE_BROWSE:
        onBrowse(dialog);
        return true;
    case IDOK:
        onOk(dialog, openDialog->options);
        return true;
    case IDCANCEL:
        Win_EndDialog(dialog, IDCANCEL);
        return true;
    default:
        return false;
    }
}

}  // namespace

int32_t CookieSource_Choose(int showFirst, HWND mainWindow, DownloadOptions* options)
{
    if (showFirst)
        CookieSource_RunDialog(mainWindow, options);
    int32_t result = CookieSource_Load(mainWindow, options);
    // Cancel keeps the stored choice, which fails again: only a source that loads ends this.
    while (result < 0) {
        CookieSource_RunDialog(mainWindow, options);
        result = CookieSource_Load(mainWindow, options);
    }
    return result;
}

int32_t CookieSource_Load(HWND mainWindow, DownloadOptions* options)
{
    int32_t result = Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE,
                                   &options->cookieSource);
    if (result != REG_OK)
        return reportNegative(mainWindow, result);
    Trace_PrintInt(TRACE_ALL, "CookieSource: %d\n", options->cookieSource);
    result = Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, &options->ifOther);
    if (result != REG_OK)
        options->ifOther = 0;
    Trace_PrintInt(TRACE_ALL, "Cookies: IfOther = %d\n", options->ifOther);
    if (options->cookieSource != COOKIES_NETSCAPE)
        return reportNegative(mainWindow, result);

    char path[COOKIE_PATH_SIZE] = "";
    if (options->ifOther) {
        result = readCookieString(REG_VAL_OTHER_NAME, path, sizeof path);
        if (result != REG_OK)
            return result;
    } else {
        bool check = false;
        result = profileCookieFile(mainWindow, path, &check);
        if (!check)
            return result;
    }
    return checkCookieFile(mainWindow, path, options);
}

int32_t Netscape_GetProfileDir(const char* user, char* buffer, uint32_t* size)
{
    uint32_t capacity = *size;
    *size = 0;
    if (capacity > 0)
        buffer[0] = '\0';
    std::vector<MozProfile> profiles;
    Profiles_List(&profiles);
    for (const MozProfile& profile : profiles) {
        // Registry keys, which these stand for, are found without regard to case.
        if (!Text_EqualNoCase(profile.name, user))
            continue;
        uint32_t bytes = uint32_t(profile.directory.size() + 1);
        if (bytes > capacity)
            return -1;
        std::memcpy(buffer, profile.directory.c_str(), bytes);
        *size = bytes;
        return 0;
    }
    return -1;
}

int32_t Netscape_ListUsers(HWND dialog, int listId)
{
    char wanted[COOKIE_USER_SIZE];
    if (readCookieString(REG_VAL_USER_NAME, wanted, sizeof wanted) != REG_OK)
        CopyBounded(wanted, NO_USER);
    std::vector<MozProfile> profiles;
    if (!Profiles_List(&profiles))
        return REG_ERROR_FILE_NOT_FOUND;
    HWND list = Win_GetDlgItem(dialog, listId);
    Win_ListResetContent(list);
    int top = 0;
    for (const MozProfile& profile : profiles) {
        char name[COOKIE_USER_SIZE];
        CopyBounded(name, profile.name.c_str());
        int row = Win_ListAddString(list, name);
        if (std::strcmp(name, wanted) == 0)
            top = row;
    }
    Win_ListSetTopIndex(list, top);
    return 0;
}

intptr_t CookieSource_RunDialog(HWND mainWindow, DownloadOptions* options)
{
    CookiesDialogArgs args{mainWindow, options};
    intptr_t result = Win_DialogBox(COOKIES_DIALOG, mainWindow, CookiesDialogProc, LPARAM(&args));
    openDialog = nullptr;
    return result;
}

intptr_t CookiesDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        initDialog(dialog, reinterpret_cast<const CookiesDialogArgs*>(lParam));
        return 1;
    }
    if (message == WM_COMMAND && openDialog != nullptr)
        return onCommand(dialog, int(wParam & 0xFFFF)) ? 1 : 0;
    return 0;
}

void EnableNetscapeControls(HWND dialog, bool enable)
{
    for (int id : NETSCAPE_CONTROLS)
        Win_EnableWindow(Win_GetDlgItem(dialog, id), enable);
}

int BrowseForCookieFile(HWND mainWindow, char* path, uint32_t size)
{
    return Win_OpenFileName(mainWindow, path, size) ? 1 : 0;
}
