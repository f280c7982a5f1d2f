// Dialogs on Win32, built in memory from the templates as extended dialog templates with the
// template's font, so that the dialog manager converts dialog units, keeps the controls' ids and
// handles Tab, Enter and Escape; their list boxes, buttons and edit boxes; message boxes and the
// file dialogs.
#include "window/window_win.h"

#include <commdlg.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

constexpr WORD BUTTON_ATOM = 0x0080, EDIT_ATOM = 0x0081, STATIC_ATOM = 0x0082, LISTBOX_ATOM = 0x0083;
constexpr size_t FILE_CAPACITY = 32768;

int modalDepth = 0;

// How each kind of control is made: its system class and the styles it always has.
struct ControlKind {
    WinControl kind;
    WORD atom;
    DWORD style;
};
constexpr ControlKind CONTROL_KINDS[] = {
    {WinControl::PushButton, BUTTON_ATOM, BS_PUSHBUTTON},
    {WinControl::DefPushButton, BUTTON_ATOM, BS_DEFPUSHBUTTON},
    {WinControl::CheckBox, BUTTON_ATOM, BS_AUTOCHECKBOX},
    {WinControl::RadioButton, BUTTON_ATOM, BS_AUTORADIOBUTTON},
    {WinControl::Edit, EDIT_ATOM, ES_AUTOHSCROLL | WS_BORDER},
    {WinControl::Static, STATIC_ATOM, SS_LEFT},
    {WinControl::ListBox, LISTBOX_ATOM, LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER},
    {WinControl::Icon, STATIC_ATOM, SS_ICON},
    {WinControl::GroupBox, BUTTON_ATOM, BS_GROUPBOX},
};

const ControlKind& kindOf(WinControl kind)
{
    const ControlKind* row = std::find_if(std::begin(CONTROL_KINDS), std::end(CONTROL_KINDS),
                                          [kind](const ControlKind& k) { return k.kind == kind; });
    return row != std::end(CONTROL_KINDS) ? *row : CONTROL_KINDS[0];
}

// An extended dialog template, written item by item with the alignment each field needs.
class TemplateWriter {
public:
    void Word(WORD value) { append(&value, sizeof value); }
    void Dword(DWORD value) { append(&value, sizeof value); }
    void Text(const char* text)
    {
        std::wstring wide = winw::Wide(text);
        append(wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    }
    void Align(size_t to)
    {
        while (bytes_.size() % to != 0)
            bytes_.push_back(0);
    }
    // DWORD-aligned storage for the system to read.
    const DLGTEMPLATE* Data()
    {
        storage_.assign((bytes_.size() + 3) / 4, 0);
        std::memcpy(storage_.data(), bytes_.data(), bytes_.size());
        return reinterpret_cast<const DLGTEMPLATE*>(storage_.data());
    }

private:
    void append(const void* data, size_t size)
    {
        const auto* from = static_cast<const unsigned char*>(data);
        bytes_.insert(bytes_.end(), from, from + size);
    }
    std::vector<unsigned char> bytes_;
    std::vector<DWORD> storage_;
};

DWORD dialogStyle(bool child)
{
    const DWORD common = DS_SETFONT | DS_3DLOOK;
    if (child)
        return common | DS_CONTROL | WS_CHILD | WS_CLIPSIBLINGS;
    return common | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
}

void writeControl(TemplateWriter& out, const WinControlTemplate& control)
{
    const ControlKind& kind = kindOf(control.kind);
    out.Align(4);
    out.Dword(0);   // help id
    out.Dword(0);   // extended style
    out.Dword(WS_CHILD | WS_VISIBLE | kind.style | control.style);
    for (int value : {control.x, control.y, control.cx, control.cy})
        out.Word(WORD(short(value)));
    out.Dword(DWORD(control.id));
    out.Word(0xFFFF);
    out.Word(kind.atom);
    // An icon's picture is set once the dialog exists, from the program's resources or a file.
    out.Text(control.kind == WinControl::Icon ? "" : control.text);
    out.Word(0);    // no creation data
}

const DLGTEMPLATE* buildTemplate(TemplateWriter& out, const WinDialogTemplate& tpl, bool child)
{
    out.Word(1);        // version
    out.Word(0xFFFF);   // extended template
    out.Dword(0);       // help id
    out.Dword(child ? WS_EX_CONTROLPARENT : 0);
    out.Dword(dialogStyle(child));
    out.Word(WORD(tpl.controlCount));
    for (int value : {tpl.x, tpl.y, tpl.cx, tpl.cy})
        out.Word(WORD(short(value)));
    out.Word(0);        // no menu
    out.Word(0);        // the dialog class
    out.Text(tpl.caption);
    out.Word(WORD(tpl.pointSize > 0 ? tpl.pointSize : 8));
    out.Word(FW_NORMAL);
    out.Word(0);        // not italic, default character set
    out.Text(tpl.fontName && tpl.fontName[0] ? tpl.fontName : "MS Shell Dlg");
    for (size_t i = 0; i < tpl.controlCount; ++i)
        writeControl(out, tpl.controls[i]);
    return out.Data();
}

// What the trampoline needs until WM_INITDIALOG hands it on.
struct DialogStart {
    DlgProc procedure;
    LPARAM lParam;
    const WinDialogTemplate* tpl;
    bool modal;
};

// The controls come in template order: icons get their pictures.
void setIcons(HWND dialog, const WinDialogTemplate& tpl)
{
    HWND control = GetWindow(dialog, GW_CHILD);
    for (size_t i = 0; i < tpl.controlCount && control != nullptr; ++i, control = GetWindow(control, GW_HWNDNEXT)) {
        if (tpl.controls[i].kind != WinControl::Icon)
            continue;
        if (HICON icon = winw::LoadIconFor(tpl.controls[i].text, GetSystemMetrics(SM_CXICON)))
            SendMessageW(control, STM_SETICON, WPARAM(icon), 0);
    }
}

// Controls tell more than the program listens for: only clicks and the person's edits reach it.
bool heardByProgram(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COMMAND || lParam == 0)
        return true;
    const WORD code = HIWORD(wParam);
    return code == BN_CLICKED || (code == EN_CHANGE && !winw::settingText);
}

INT_PTR CALLBACK trampoline(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        const auto* start = reinterpret_cast<const DialogStart*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, LONG_PTR(start->procedure));
        SetPropW(dialog, start->modal ? winw::MODAL_PROPERTY : winw::MODELESS_PROPERTY, HANDLE(1));
        setIcons(dialog, *start->tpl);
        return start->procedure ? start->procedure(dialog, message, wParam, start->lParam) : TRUE;
    }
    if (message == WM_NCDESTROY) {
        RemovePropW(dialog, winw::MODAL_PROPERTY);
        RemovePropW(dialog, winw::MODELESS_PROPERTY);
    }
    auto procedure = reinterpret_cast<DlgProc>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (procedure == nullptr || !heardByProgram(message, wParam, lParam))
        return FALSE;
    return procedure(dialog, message, wParam, lParam);
}

int sendTo(HWND control, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return control != nullptr ? int(SendMessageW(control, message, wParam, lParam)) : 0;
}

// The person's own Downloads folder; empty when the system names none.
std::wstring downloadsFolder()
{
    PWSTR folder = nullptr;
    std::wstring found;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &folder)))
        found = folder;
    CoTaskMemFree(folder);
    return found;
}

bool fileDialog(HWND owner, char* path, size_t size, bool save)
{
    if (path == nullptr || size == 0)
        return false;
    std::wstring initial = winw::Wide(path);
    std::vector<wchar_t> file(FILE_CAPACITY, L'\0');
    std::wstring folder;
    const size_t slash = initial.find_last_of(L"\\/");
    if (save) {
        std::wcsncpy(file.data(), initial.c_str(), file.size() - 1);
        // A bare name has no folder yet: the program's own (where it was started, or its data)
        // is no place for the person's files.
        if (slash == std::wstring::npos)
            folder = downloadsFolder();
    } else {
        // The open dialog starts in the folder of path, with no name chosen yet.
        folder = slash == std::wstring::npos ? std::wstring() : initial.substr(0, slash);
    }
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrTitle = save ? L"Save As" : L"Open";
    // The program checks for an existing file itself.
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | (save ? 0 : OFN_FILEMUSTEXIST);
    winw::ModalScope modal;
    if (!(save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn)))
        return false;
    const std::string chosen = winw::Narrow(file.data());
    // A name cut short would be another file: refuse what does not fit.
    if (chosen.empty() || chosen.size() >= size)
        return false;
    winw::CopyText(chosen, path, size);
    return true;
}

}  // namespace

namespace winw {

bool settingText = false;

ModalScope::ModalScope()
{
    ++modalDepth;
}

ModalScope::~ModalScope()
{
    if (--modalDepth == 0)
        winw::ModalsEnded();
}

bool ModalRunning()
{
    return modalDepth > 0;
}

}  // namespace winw

HWND Win_CreateDialog(const WinDialogTemplate& dialog, HWND parent, DlgProc procedure, LPARAM lParam)
{
    const bool child = dialog.child && parent != nullptr;
    TemplateWriter writer;
    const DLGTEMPLATE* tpl = buildTemplate(writer, dialog, child);
    DialogStart start{procedure, lParam, &dialog, false};
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), tpl, parent, trampoline, LPARAM(&start));
}

intptr_t Win_DialogBox(const WinDialogTemplate& dialog, HWND owner, DlgProc procedure, LPARAM lParam)
{
    TemplateWriter writer;
    const DLGTEMPLATE* tpl = buildTemplate(writer, dialog, false);
    DialogStart start{procedure, lParam, &dialog, true};
    winw::ModalScope modal;
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), tpl, owner, trampoline, LPARAM(&start));
}

void Win_EndDialog(HWND dialog, intptr_t result)
{
    if (dialog == nullptr)
        return;
    if (GetPropW(dialog, winw::MODAL_PROPERTY) != nullptr)
        EndDialog(dialog, result);
    else
        ShowWindow(dialog, SW_HIDE);
}

HWND Win_GetDlgItem(HWND dialog, int id)
{
    return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

bool Win_IsChecked(HWND button)
{
    return sendTo(button, BM_GETCHECK) == BST_CHECKED;
}

void Win_SetChecked(HWND button, bool checked)
{
    sendTo(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED);
}

void Win_LimitText(HWND edit, int characters)
{
    sendTo(edit, EM_LIMITTEXT, WPARAM(std::max(characters, 0)));
}

void Win_SetDefaultButton(HWND dialog, int id)
{
    sendTo(dialog, DM_SETDEFID, WPARAM(id));
}

int Win_ListAddString(HWND list, const char* text)
{
    if (list == nullptr)
        return -1;
    return sendTo(list, LB_ADDSTRING, 0, LPARAM(winw::Wide(text).c_str()));
}

void Win_ListResetContent(HWND list)
{
    sendTo(list, LB_RESETCONTENT);
}

void Win_ListSetTopIndex(HWND list, int index)
{
    sendTo(list, LB_SETTOPINDEX, WPARAM(std::max(index, 0)));
}

int Win_ListGetTopIndex(HWND list)
{
    return sendTo(list, LB_GETTOPINDEX);
}

int Win_ListCount(HWND list)
{
    return sendTo(list, LB_GETCOUNT);
}

std::string Win_ListText(HWND list, int index)
{
    const int length = sendTo(list, LB_GETTEXTLEN, WPARAM(index));
    if (length <= 0)
        return {};
    std::wstring text(size_t(length) + 1, L'\0');
    const int copied = sendTo(list, LB_GETTEXT, WPARAM(index), LPARAM(text.data()));
    return copied > 0 ? winw::Narrow(text.data(), copied) : std::string();
}

int Win_MessageBox(HWND owner, const char* text, const char* caption, uint32_t style)
{
    winw::ModalScope modal;
    const int answer = MessageBoxW(owner, winw::Wide(text).c_str(), caption ? winw::Wide(caption).c_str() : nullptr, style);
    return answer == IDOK ? IDOK : IDCANCEL;
}

bool Win_SaveFileName(HWND owner, char* path, size_t size)
{
    return fileDialog(owner, path, size, true);
}

bool Win_OpenFileName(HWND owner, char* path, size_t size)
{
    return fileDialog(owner, path, size, false);
}

bool Win_ModalShowing()
{
    return winw::ModalRunning();
}
