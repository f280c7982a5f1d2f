// Painting on Win32: a paint's DC with the interface's font, opaque text in the DC's colours, and
// the frames and edges the list draws.
#include "window/window_win.h"

#include <algorithm>

struct WinDC {
    HWND window;
    HDC hdc;
    PAINTSTRUCT paint;
    HGDIOBJ oldFont;
};

namespace {

// The font of the desktop's messages, which the dialogs' "MS Shell Dlg" also stands for.
HFONT interfaceFont()
{
    static HFONT font = [] {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof metrics;
        if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
            if (HFONT made = CreateFontIndirectW(&metrics.lfMessageFont))
                return made;
        return HFONT(GetStockObject(DEFAULT_GUI_FONT));
    }();
    return font;
}

RECT toRect(const WinRect& rect)
{
    return RECT{rect.left, rect.top, rect.right, rect.bottom};
}

}  // namespace

WinDC* Win_BeginPaint(HWND window)
{
    if (window == nullptr)
        return nullptr;
    auto* dc = new WinDC{window, nullptr, {}, nullptr};
    dc->hdc = BeginPaint(window, &dc->paint);
    dc->oldFont = SelectObject(dc->hdc, interfaceFont());
    SetBkMode(dc->hdc, OPAQUE);
    SetBkColor(dc->hdc, GetSysColor(COLOR_WINDOW));
    SetTextColor(dc->hdc, GetSysColor(COLOR_WINDOWTEXT));
    return dc;
}

void Win_EndPaint(HWND, WinDC* dc)
{
    if (dc == nullptr)
        return;
    SelectObject(dc->hdc, dc->oldFont);
    EndPaint(dc->window, &dc->paint);
    delete dc;
}

void Win_Rectangle(WinDC* dc, const WinRect& rect)
{
    if (dc == nullptr)
        return;
    HGDIOBJ oldPen = SelectObject(dc->hdc, GetStockObject(DC_PEN));
    HGDIOBJ oldBrush = SelectObject(dc->hdc, GetStockObject(DC_BRUSH));
    SetDCPenColor(dc->hdc, GetSysColor(COLOR_WINDOWTEXT));
    SetDCBrushColor(dc->hdc, GetSysColor(COLOR_WINDOW));
    Rectangle(dc->hdc, rect.left, rect.top, rect.right, rect.bottom);
    SelectObject(dc->hdc, oldBrush);
    SelectObject(dc->hdc, oldPen);
}

void Win_FillRect(WinDC* dc, const WinRect& rect, COLORREF colour)
{
    if (dc == nullptr)
        return;
    HBRUSH brush = CreateSolidBrush(colour);
    const RECT r = toRect(rect);
    FillRect(dc->hdc, &r, brush);
    DeleteObject(brush);
}

void Win_SetBkColor(WinDC* dc, COLORREF colour)
{
    if (dc != nullptr)
        SetBkColor(dc->hdc, colour);
}

void Win_SetTextColor(WinDC* dc, COLORREF colour)
{
    if (dc != nullptr)
        SetTextColor(dc->hdc, colour);
}

void Win_TextOut(WinDC* dc, int x, int y, const char* text)
{
    if (dc == nullptr || text == nullptr)
        return;
    const std::wstring wide = winw::Wide(text);
    TextOutW(dc->hdc, x, y, wide.c_str(), int(wide.size()));
}

int Win_TextOutClipped(WinDC* dc, const WinRect& box, const char* text)
{
    if (dc == nullptr || text == nullptr || box.right <= box.left)
        return box.left;
    constexpr UINT FORMAT = DT_END_ELLIPSIS | DT_SINGLELINE | DT_NOPREFIX | DT_LEFT | DT_TOP;
    std::wstring wide = winw::Wide(text);
    // What the whole text would take, then drawn in no more of it than the box holds.
    RECT drawn = toRect(box);
    DrawTextW(dc->hdc, wide.data(), int(wide.size()), &drawn, FORMAT | DT_CALCRECT);
    drawn.right = std::min<LONG>(drawn.right, box.right);
    drawn.bottom = std::min<LONG>(drawn.bottom, box.bottom);
    DrawTextW(dc->hdc, wide.data(), int(wide.size()), &drawn, FORMAT);
    return int(drawn.right);
}

void Win_DrawBumpEdge(WinDC* dc, const WinRect& rect)
{
    if (dc == nullptr)
        return;
    RECT r = toRect(rect);
    DrawEdge(dc->hdc, &r, EDGE_BUMP, BF_RECT);
}

void Win_DrawFocusRect(WinDC* dc, const WinRect& rect)
{
    if (dc == nullptr)
        return;
    const RECT r = toRect(rect);
    DrawFocusRect(dc->hdc, &r);
}
