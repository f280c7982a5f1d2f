#include "ui/dialogs/cookiesdialog.h"

#include "browsers/cookiestores.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "web/urlparse.h"
#include "web/wire.h"

#include <iterator>
#include <vector>

namespace {

constexpr const char* ERROR_CAPTION = "Error in Moonfetch";
constexpr const char* NO_USER = "Nobody";

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

// Loads the choice; what the load tells goes to an error box owned by the main window.
int32_t loadTelling(HWND mainWindow, DownloadOptions* options)
{
    return CookieSource_Load(options, [mainWindow](const char* text) {
        Win_MessageBox(mainWindow, text, ERROR_CAPTION, MB_OK | MB_ICONEXCLAMATION);
    });
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
    if (CookieSource_ReadString(REG_VAL_OTHER_NAME, name, sizeof name) == REG_OK) {
        HWND edit = Win_GetDlgItem(dialog, IDC_COOKIE_FILE);
        Win_LimitText(edit, int(COOKIE_PATH_SIZE));
        Win_SetWindowText(edit, name);
    }
}

bool isChecked(HWND dialog, int id)
{
    return Win_IsChecked(Win_GetDlgItem(dialog, id));
}

// What the settings keep for the profile shown as label: its key; empty when none is shown so.
std::string keyOfLabel(const std::string& label)
{
    std::vector<BrowserProfile> profiles;
    CookieStores_ListProfiles(&profiles);
    for (const BrowserProfile& profile : profiles)
        if (profile.label == label)
            return profile.key;
    return {};
}

void onOk(HWND dialog, DownloadOptions* options)
{
    if (isChecked(dialog, IDC_COOKIES_NONE)) {
        options->cookieSource = COOKIES_NONE;
    } else if (isChecked(dialog, IDC_COOKIES_NETSCAPE)) {
        HWND list = Win_GetDlgItem(dialog, IDC_COOKIE_USERS);
        char user[COOKIE_USER_SIZE] = "";
        if (Win_ListCount(list) > 0)
            Text_CopyBounded(user, keyOfLabel(Win_ListText(list, Win_ListGetTopIndex(list))).c_str());
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
    int32_t result = loadTelling(mainWindow, options);
    // Cancel keeps the stored choice, which fails again: only a source that loads ends this.
    while (result < 0) {
        CookieSource_RunDialog(mainWindow, options);
        result = loadTelling(mainWindow, options);
    }
    return result;
}

int32_t Netscape_ListUsers(HWND dialog, int listId)
{
    char wanted[COOKIE_USER_SIZE];
    if (CookieSource_ReadString(REG_VAL_USER_NAME, wanted, sizeof wanted) != REG_OK)
        Text_CopyBounded(wanted, NO_USER);
    std::vector<BrowserProfile> profiles;
    if (!CookieStores_ListProfiles(&profiles))
        return REG_ERROR_FILE_NOT_FOUND;
    HWND list = Win_GetDlgItem(dialog, listId);
    Win_ListResetContent(list);
    int top = 0;
    for (const BrowserProfile& profile : profiles) {
        char label[COOKIE_USER_SIZE];
        Text_CopyBounded(label, profile.label.c_str());
        int row = Win_ListAddString(list, label);
        if (profile.key == wanted)
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
        return onCommand(dialog, LOWORD(wParam)) ? 1 : 0;
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
