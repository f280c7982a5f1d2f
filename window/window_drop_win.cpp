// Dropped text on Win32: an OLE drop target that reads the drag's text (UTF-16, else the code
// page's) as UTF-8 for the program's WinDropTarget.
#include "window/window_win.h"

#include <ole2.h>

namespace {

std::string readText(IDataObject* data, CLIPFORMAT format)
{
    FORMATETC wanted = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (data == nullptr || data->GetData(&wanted, &medium) != S_OK)
        return {};
    std::string text;
    const SIZE_T bytes = GlobalSize(medium.hGlobal);
    if (const void* locked = GlobalLock(medium.hGlobal)) {
        if (format == CF_UNICODETEXT) {
            const auto* wide = static_cast<const wchar_t*>(locked);
            text = winw::Narrow(wide, int(wcsnlen(wide, bytes / sizeof(wchar_t))));
        } else {
            const auto* narrow = static_cast<const char*>(locked);
            const std::string local(narrow, strnlen(narrow, bytes));
            std::wstring wide(local.size(), L'\0');
            const int length = MultiByteToWideChar(CP_ACP, 0, local.data(), int(local.size()), wide.data(), int(wide.size()));
            text = winw::Narrow(wide.data(), length);
        }
        GlobalUnlock(medium.hGlobal);
    }
    ReleaseStgMedium(&medium);
    return text;
}

// The drag's text, or false when it carries none.
bool textOf(IDataObject* data, std::string* text)
{
    for (CLIPFORMAT format : {CLIPFORMAT(CF_UNICODETEXT), CLIPFORMAT(CF_TEXT)}) {
        FORMATETC offered = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        if (data != nullptr && data->QueryGetData(&offered) == S_OK) {
            *text = readText(data, format);
            return true;
        }
    }
    return false;
}

class DropTarget final : public winw::Counted<IDropTarget> {
public:
    explicit DropTarget(WinDropTarget* target) : target_(target) {}

    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD, POINTL, DWORD* effect) override
    {
        std::string text;
        const bool hasText = textOf(data, &text);
        *effect = target_->DragEnter(hasText ? text.c_str() : nullptr, *effect) & *effect;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragOver(DWORD, POINTL, DWORD* effect) override
    {
        *effect = target_->DragOver() & *effect;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DragLeave() override
    {
        target_->DragLeave();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override
    {
        std::string text;
        const bool hasText = textOf(data, &text);
        *effect = target_->Drop(hasText ? text.c_str() : nullptr) & *effect;
        return S_OK;
    }

private:
    ~DropTarget() override = default;
    bool answers(REFIID iid) const override { return IsEqualIID(iid, IID_IDropTarget); }
    WinDropTarget* target_;
};

}  // namespace

bool Win_RegisterDropTarget(HWND window, WinDropTarget* target)
{
    if (window == nullptr || target == nullptr)
        return false;
    auto* drop = new DropTarget(target);
    // The registration holds its own reference; the window's destruction revokes it.
    const HRESULT result = RegisterDragDrop(window, drop);
    drop->Release();
    return result == S_OK;
}
