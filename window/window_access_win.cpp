// Accessibility and the desktop's colours on Win32. The list is told to accessibility through
// the system's annotation of the client area's standard object: its name is the focused row's
// name (or what the list shows besides rows), its role a list, and readers hear of each change.
// The rows are not objects of their own there; where the annotation service is missing, the
// area stays as the system describes it.
#include "window/window_win.h"

#include <initguid.h>
#include <oleacc.h>

namespace {

constexpr wchar_t LIST_PROPERTY[] = L"Moonfetch.AccessibleList";

struct SystemColour {
    WinColour colour;
    int index;
};
constexpr SystemColour SYSTEM_COLOURS[] = {
    {WinColour::Window, COLOR_WINDOW},
    {WinColour::WindowText, COLOR_WINDOWTEXT},
    {WinColour::Highlight, COLOR_HIGHLIGHT},
    {WinColour::HighlightText, COLOR_HIGHLIGHTTEXT},
};

// The annotation service, made at the first need; null where the system offers none.
IAccPropServices* services()
{
    static IAccPropServices* made = [] {
        IAccPropServices* service = nullptr;
        if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                    reinterpret_cast<void**>(&service))))
            return static_cast<IAccPropServices*>(nullptr);
        return service;
    }();
    return made;
}

// The focused row's name, or the list's other texts when no row has the focus.
std::string spokenName(WinAccessibleList* list)
{
    const int row = list->FocusedRow();
    return row >= 0 && row < list->RowCount() ? list->RowName(row) : list->Description();
}

}  // namespace

COLORREF Win_SystemColour(WinColour colour)
{
    for (const SystemColour& entry : SYSTEM_COLOURS)
        if (entry.colour == colour)
            return GetSysColor(entry.index);
    return RGB(0, 0, 0);
}

void Win_SetAccessibleList(HWND window, WinAccessibleList* list)
{
    if (window == nullptr)
        return;
    if (list == nullptr) {
        RemovePropW(window, LIST_PROPERTY);
        return;
    }
    SetPropW(window, LIST_PROPERTY, list);
    if (IAccPropServices* service = services()) {
        VARIANT role;
        VariantInit(&role);
        role.vt = VT_I4;
        role.lVal = ROLE_SYSTEM_LIST;
        service->SetHwndProp(window, DWORD(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_ROLE, role);
    }
}

void Win_NotifyAccessibleList(HWND window)
{
    auto* list = window ? static_cast<WinAccessibleList*>(GetPropW(window, LIST_PROPERTY)) : nullptr;
    IAccPropServices* service = list ? services() : nullptr;
    if (service == nullptr)
        return;
    const std::wstring name = winw::Wide(spokenName(list).c_str());
    service->SetHwndPropStr(window, DWORD(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME, name.c_str());
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
    if (GetFocus() == window)
        NotifyWinEvent(EVENT_OBJECT_FOCUS, window, OBJID_CLIENT, CHILDID_SELF);
}
