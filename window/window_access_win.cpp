// Accessibility and the desktop's colours on Win32. The client area of a main window whose program
// describes a list answers accessibility (MSAA, which UI Automation reads through its proxy) with
// an object of its own: the list, whose rows are its simple elements, child ids 1 to the count.
// What the list does not answer itself (its place, its parent, its siblings, the child windows
// under a point) the system's standard object of the area answers. Rows have no places of their
// own in the windowing: each stands in the area's rectangle.
//
// Ownership: readers hold the object by COM references, as long as they like. It keeps the
// window's handle and the standard object, never the list: it finds the list through the window's
// property at every question, so that once the list is unset or the window destroyed it answers
// as the plain area the standard object describes.
#include "window/window_win.h"

#include <oleacc.h>

#include <algorithm>
#include <vector>

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

WinAccessibleList* listOf(HWND window)
{
    return window && IsWindow(window) ? static_cast<WinAccessibleList*>(GetPropW(window, LIST_PROPERTY)) : nullptr;
}

// The focused row's name, or the list's other texts when no row has the focus.
std::string spokenName(WinAccessibleList* list)
{
    const int row = list->FocusedRow();
    return row >= 0 && row < list->RowCount() ? list->RowName(row) : list->Description();
}

// The child id of the row the keyboard moves from; the list's own when there is none.
LONG focusedChild(WinAccessibleList* list)
{
    const int row = list->FocusedRow();
    return row >= 0 && row < list->RowCount() ? row + 1 : CHILDID_SELF;
}

std::vector<LONG> selectedChildren(WinAccessibleList* list)
{
    std::vector<LONG> ids;
    for (int row = 0; row < list->RowCount(); ++row)
        if (list->RowSelected(row))
            ids.push_back(row + 1);
    return ids;
}

VARIANT childVariant(LONG id)
{
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_I4;
    child.lVal = id;
    return child;
}

// text as a string of the system's; S_FALSE and none for an empty one.
HRESULT answerText(const std::string& text, BSTR* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = text.empty() ? nullptr : SysAllocString(winw::Wide(text.c_str()).c_str());
    return text.empty() ? S_FALSE : (*out ? S_OK : E_OUTOFMEMORY);
}

// Several selected rows, as accSelection hands them out: their child ids one after another.
class ChildIds final : public winw::Counted<IEnumVARIANT> {
public:
    explicit ChildIds(std::vector<LONG> ids, size_t next = 0) : ids_(std::move(ids)), next_(next) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override
    {
        if (out == nullptr)
            return E_POINTER;
        ULONG given = 0;
        for (; given < count && next_ < ids_.size(); ++given)
            out[given] = childVariant(ids_[next_++]);
        if (fetched != nullptr)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        const size_t skipped = std::min(size_t(count), ids_.size() - next_);
        next_ += skipped;
        return skipped == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = new ChildIds(ids_, next_);
        return S_OK;
    }

private:
    bool answers(REFIID iid) const override { return IsEqualIID(iid, IID_IEnumVARIANT); }

    std::vector<LONG> ids_;
    size_t next_;
};

// Where accNavigate moves from a row: so many rows on, none for the other directions.
struct RowStep {
    LONG direction;
    int step;
};
constexpr RowStep ROW_STEPS[] = {{NAVDIR_NEXT, 1}, {NAVDIR_DOWN, 1}, {NAVDIR_PREVIOUS, -1}, {NAVDIR_UP, -1}};

// The client area as the program's list: see the top of the file.
class ListObject final : public winw::Counted<IAccessible> {
public:
    ListObject(HWND window, IAccessible* standard) : window_(window), standard_(standard) {}

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** out) override { return standard_->get_accParent(out); }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* out) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list == nullptr || out == nullptr)
            return standard_->get_accChildCount(out);
        *out = list->RowCount();
        return S_OK;
    }
    // Rows are simple elements: no objects of their own.
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT id, IDispatch** out) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list == nullptr || out == nullptr)
            return standard_->get_accChild(id, out);
        *out = nullptr;
        return rowOf(id, list) >= 0 ? S_FALSE : E_INVALIDARG;
    }
    // The list's name is the row the keys act on, or what the list shows besides rows.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT id, BSTR* out) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list == nullptr)
            return standard_->get_accName(id, out);
        const int row = rowOf(id, list);
        if (row == NONE)
            return E_INVALIDARG;
        return answerText(row == SELF ? spokenName(list) : list->RowName(row), out);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT id, BSTR* out) override
    {
        return selfOnly(id, [&] { return standard_->get_accValue(id, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT id, BSTR* out) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list != nullptr && rowOf(id, list) == SELF)
            return answerText(list->Description(), out);
        return selfOnly(id, [&] { return standard_->get_accDescription(id, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT id, VARIANT* out) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list == nullptr || out == nullptr)
            return standard_->get_accRole(id, out);
        const int row = rowOf(id, list);
        if (row == NONE)
            return E_INVALIDARG;
        *out = childVariant(row == SELF ? ROLE_SYSTEM_LIST : ROLE_SYSTEM_LISTITEM);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT id, VARIANT* out) override;
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT id, BSTR* out) override
    {
        return selfOnly(id, [&] { return standard_->get_accHelp(id, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT id, LONG* topic) override
    {
        return selfOnly(id, [&] { return standard_->get_accHelpTopic(file, id, topic); });
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT id, BSTR* out) override
    {
        return selfOnly(id, [&] { return standard_->get_accKeyboardShortcut(id, out); });
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list == nullptr || out == nullptr || GetFocus() != window_)
            return standard_->get_accFocus(out);
        *out = childVariant(focusedChild(list));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override;
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT id, BSTR* out) override
    {
        return selfOnly(id, [&] { return standard_->get_accDefaultAction(id, out); });
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT id) override
    {
        return selfOnly(id, [&] { return standard_->accSelect(flags, id); });
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT id) override
    {
        WinAccessibleList* list = listOf(window_);
        if (list != nullptr && rowOf(id, list) == NONE)
            return E_INVALIDARG;
        return standard_->accLocation(left, top, width, height, list ? childVariant(CHILDID_SELF) : id);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* out) override;
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* out) override
    {
        return standard_->accHitTest(x, y, out);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT id) override
    {
        return selfOnly(id, [&] { return standard_->accDoDefaultAction(id); });
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    ~ListObject() override { standard_->Release(); }
    bool answers(REFIID iid) const override
    {
        return IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, __uuidof(IAccessible));
    }

    static constexpr int SELF = -1, NONE = -2;
    // The row id names (from 0), SELF for the list itself, NONE for no part of the list.
    static int rowOf(const VARIANT& id, WinAccessibleList* list)
    {
        if (id.vt != VT_I4)
            return NONE;
        if (id.lVal == CHILDID_SELF)
            return SELF;
        return id.lVal >= 1 && id.lVal <= list->RowCount() ? int(id.lVal - 1) : NONE;
    }

    // The standard object's answer for the list itself or the plain area; rows have no such property.
    template <typename Ask>
    HRESULT selfOnly(const VARIANT& id, Ask ask)
    {
        WinAccessibleList* list = listOf(window_);
        const int row = list ? rowOf(id, list) : SELF;
        if (row == SELF)
            return ask();
        return row == NONE ? E_INVALIDARG : DISP_E_MEMBERNOTFOUND;
    }

    HWND window_;
    IAccessible* standard_;
};

HRESULT ListObject::get_accState(VARIANT id, VARIANT* out)
{
    WinAccessibleList* list = listOf(window_);
    const int row = list ? rowOf(id, list) : SELF;
    if (row == SELF) {
        const HRESULT asked = standard_->get_accState(id, out);
        // While a row has the focus, the list itself does not.
        if (asked == S_OK && out->vt == VT_I4 && list != nullptr && focusedChild(list) != CHILDID_SELF)
            out->lVal &= ~STATE_SYSTEM_FOCUSED;
        return asked;
    }
    if (row == NONE || out == nullptr)
        return E_INVALIDARG;
    const bool focused = GetFocus() == window_ && focusedChild(list) == row + 1;
    *out = childVariant(STATE_SYSTEM_SELECTABLE | STATE_SYSTEM_FOCUSABLE |
                        (list->RowSelected(row) ? STATE_SYSTEM_SELECTED : 0) | (focused ? STATE_SYSTEM_FOCUSED : 0));
    return S_OK;
}

HRESULT ListObject::get_accSelection(VARIANT* out)
{
    WinAccessibleList* list = listOf(window_);
    if (list == nullptr || out == nullptr)
        return standard_->get_accSelection(out);
    std::vector<LONG> ids = selectedChildren(list);
    VariantInit(out);
    if (ids.size() == 1)
        *out = childVariant(ids[0]);
    else if (!ids.empty()) {
        out->vt = VT_UNKNOWN;
        out->punkVal = new ChildIds(std::move(ids));
    }
    return out->vt == VT_EMPTY ? S_FALSE : S_OK;
}

HRESULT ListObject::accNavigate(LONG direction, VARIANT start, VARIANT* out)
{
    WinAccessibleList* list = listOf(window_);
    const int row = list ? rowOf(start, list) : SELF;
    const bool intoRows = list && (direction == NAVDIR_FIRSTCHILD || direction == NAVDIR_LASTCHILD);
    if (row == SELF && !intoRows)
        return standard_->accNavigate(direction, start, out);   // among the window's parts
    if (row == NONE || out == nullptr)
        return E_INVALIDARG;
    int reached = direction == NAVDIR_FIRSTCHILD ? 0 : list->RowCount() - 1;
    if (row != SELF) {
        const RowStep* step = std::ranges::find(ROW_STEPS, direction, &RowStep::direction);
        reached = step == std::end(ROW_STEPS) ? -1 : row + step->step;
    }
    VariantInit(out);
    if (reached < 0 || reached >= list->RowCount())
        return S_FALSE;
    *out = childVariant(reached + 1);
    return S_OK;
}

}  // namespace

COLORREF Win_SystemColour(WinColour colour)
{
    for (const SystemColour& entry : SYSTEM_COLOURS)
        if (entry.colour == colour)
            return GetSysColor(entry.index);
    return RGB(0, 0, 0);
}

LRESULT winw::AccessibleObject(HWND window, WPARAM wParam, LPARAM lParam)
{
    IAccessible* standard = nullptr;
    if (LONG(lParam) != OBJID_CLIENT || listOf(window) == nullptr ||
        FAILED(CreateStdAccessibleObject(window, OBJID_CLIENT, IID_PPV_ARGS(&standard))))
        return 0;
    auto* list = new ListObject(window, standard);
    const LRESULT answer = LresultFromObject(__uuidof(IAccessible), wParam, static_cast<IAccessible*>(list));
    list->Release();
    return std::max<LRESULT>(answer, 0);
}

void Win_SetAccessibleList(HWND window, WinAccessibleList* list)
{
    if (window == nullptr)
        return;
    if (list == nullptr)
        RemovePropW(window, LIST_PROPERTY);
    else
        SetPropW(window, LIST_PROPERTY, list);
}

void Win_NotifyAccessibleList(HWND window)
{
    WinAccessibleList* list = listOf(window);
    if (list == nullptr)
        return;
    NotifyWinEvent(EVENT_OBJECT_REORDER, window, OBJID_CLIENT, CHILDID_SELF);
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
    // One selected row is that row's selection; else the selection changed somewhere within.
    const std::vector<LONG> selected = selectedChildren(list);
    if (selected.size() == 1)
        NotifyWinEvent(EVENT_OBJECT_SELECTION, window, OBJID_CLIENT, selected[0]);
    else
        NotifyWinEvent(EVENT_OBJECT_SELECTIONWITHIN, window, OBJID_CLIENT, CHILDID_SELF);
    if (GetFocus() == window)
        NotifyWinEvent(EVENT_OBJECT_FOCUS, window, OBJID_CLIENT, focusedChild(list));
}
