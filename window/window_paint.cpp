// Painting: a WM_PAINT runs inside the widget's paint event, with a DC that wraps its QPainter.
// An installed observer sees what the procedure draws.
#include "window/window_qt.h"

#include <QFontMetrics>

namespace {

// The classic 3D colours of a bump edge: a raised outer ring around a sunken inner one.
const QColor EDGE_LIGHT(227, 227, 227);
const QColor EDGE_HIGHLIGHT(255, 255, 255);
const QColor EDGE_SHADOW(160, 160, 160);
const QColor EDGE_DARK_SHADOW(105, 105, 105);

// Windows rectangles leave out their right and bottom edges, as QRect's width and height do.
QRect toQRect(const WinRect& rect)
{
    return QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

// One ring of an edge: top and left in one colour, bottom and right in the other.
void drawRing(QPainter& painter, const QRect& ring, const QColor& topLeft, const QColor& bottomRight)
{
    if (ring.width() <= 0 || ring.height() <= 0)
        return;
    painter.fillRect(QRect(ring.left(), ring.top(), ring.width(), 1), topLeft);
    painter.fillRect(QRect(ring.left(), ring.top(), 1, ring.height()), topLeft);
    painter.fillRect(QRect(ring.left(), ring.bottom(), ring.width(), 1), bottomRight);
    painter.fillRect(QRect(ring.right(), ring.top(), 1, ring.height()), bottomRight);
}

// A line of text on its opaque background, painting nothing outside area (whose top left is
// where the text starts).
void drawLine(WinDC* dc, const QRect& area, const QString& line)
{
    dc->painter.save();
    dc->painter.setClipRect(area);
    dc->painter.fillRect(area, winqt::ToColour(dc->back));
    dc->painter.setPen(winqt::ToColour(dc->text));
    dc->painter.drawText(area.left(), area.top() + dc->painter.fontMetrics().ascent(), line);
    dc->painter.restore();
    if (winqt::observer != nullptr) {
        const WinRect rect{area.left(), area.top(), area.left() + area.width(), area.top() + area.height()};
        winqt::observer->TextDrawn(dc->window, rect, line.toUtf8().constData(), dc->text, dc->back);
    }
}

}  // namespace

void WinSurface::paintEvent(QPaintEvent*)
{
    if (win == nullptr || win->dead)
        return;
    WinDC dc(win, this);
    // The main window's class background, the window colour, is erased before every paint.
    if (win->kind == WinKind::Main)
        dc.painter.fillRect(rect(), winqt::ToColour(Win_SystemColour(WinColour::Window)));
    if (winqt::observer != nullptr)
        winqt::observer->PaintBegins(win);
    win->paintDC = &dc;
    winqt::Send(win, WM_PAINT, 0, 0);
    win->paintDC = nullptr;
    if (winqt::observer != nullptr)
        winqt::observer->PaintEnds(win);
}

WinDC* Win_BeginPaint(HWND window)
{
    return winqt::Alive(window) ? window->paintDC : nullptr;
}

void Win_EndPaint(HWND, WinDC*)
{
}

void Win_Rectangle(WinDC* dc, const WinRect& rect)
{
    if (dc == nullptr)
        return;
    QRect area = toQRect(rect);
    const COLORREF fill = Win_SystemColour(WinColour::Window);
    const QColor frame = winqt::ToColour(Win_SystemColour(WinColour::WindowText));
    dc->painter.fillRect(area, winqt::ToColour(fill));
    drawRing(dc->painter, area, frame, frame);
    if (winqt::observer != nullptr)
        winqt::observer->FillDrawn(dc->window, rect, fill);
}

void Win_FillRect(WinDC* dc, const WinRect& rect, COLORREF colour)
{
    if (dc == nullptr)
        return;
    dc->painter.fillRect(toQRect(rect), winqt::ToColour(colour));
    if (winqt::observer != nullptr)
        winqt::observer->FillDrawn(dc->window, rect, colour);
}

void Win_SetBkColor(WinDC* dc, COLORREF colour)
{
    if (dc != nullptr)
        dc->back = colour;
}

void Win_SetTextColor(WinDC* dc, COLORREF colour)
{
    if (dc != nullptr)
        dc->text = colour;
}

void Win_TextOut(WinDC* dc, int x, int y, const char* text)
{
    if (dc == nullptr || text == nullptr)
        return;
    QFontMetrics metrics = dc->painter.fontMetrics();
    const QString line = QString::fromUtf8(text);
    drawLine(dc, QRect(x, y, metrics.horizontalAdvance(line), metrics.height()), line);
}

int Win_TextOutClipped(WinDC* dc, const WinRect& box, const char* text)
{
    if (dc == nullptr || text == nullptr || box.right <= box.left)
        return box.left;
    QFontMetrics metrics = dc->painter.fontMetrics();
    const QString line = metrics.elidedText(QString::fromUtf8(text), Qt::ElideRight, box.right - box.left);
    const QRect drawn = QRect(box.left, box.top, metrics.horizontalAdvance(line), metrics.height())
                            .intersected(toQRect(box));
    drawLine(dc, drawn, line);
    return box.left + drawn.width();
}

void Win_DrawBumpEdge(WinDC* dc, const WinRect& rect)
{
    if (dc == nullptr)
        return;
    QRect outer = toQRect(rect);
    drawRing(dc->painter, outer, EDGE_LIGHT, EDGE_DARK_SHADOW);
    drawRing(dc->painter, outer.adjusted(1, 1, -1, -1), EDGE_SHADOW, EDGE_HIGHLIGHT);
}

void Win_DrawFocusRect(WinDC* dc, const WinRect& rect)
{
    if (dc == nullptr)
        return;
    dc->painter.save();
    dc->painter.setPen(QPen(winqt::ToColour(dc->text), 1, Qt::DotLine));
    dc->painter.setBrush(Qt::NoBrush);
    dc->painter.drawRect(toQRect(rect).adjusted(0, 0, -1, -1));
    dc->painter.restore();
}
