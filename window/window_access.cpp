// Accessibility and the desktop's colours on Qt. A main window's client area keeps its widgets
// (the toolbar) as children and gains one more: the program's list, whose rows are interfaces
// of their own. Qt hands them to the desktop's accessibility (AT-SPI on Linux).
//
// Ownership: Qt's accessibility cache owns every interface. The area's interface keeps the ids
// of its list and rows, never their pointers, since the cache may delete them first when the
// application ends; the list and rows reach the program only through the area's interface.
#include "window/window_qt.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QPalette>

#include <vector>

namespace {

class AreaAccessible;

// One interface of the list or of a row: what both answer alike.
class PartAccessible : public QAccessibleInterface {
public:
    explicit PartAccessible(AreaAccessible* area) : area_(area) {}
    QObject* object() const override { return nullptr; }
    QWindow* window() const override;
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override;

protected:
    AreaAccessible* area_;
};

class RowAccessible final : public PartAccessible {
public:
    RowAccessible(AreaAccessible* area, int row) : PartAccessible(area), row_(row) {}
    bool isValid() const override;
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text kind) const override;
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override;

private:
    int row_;
};

class ListAccessible final : public PartAccessible {
public:
    using PartAccessible::PartAccessible;
    bool isValid() const override;
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int index) const override;
    int childCount() const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QString text(QAccessible::Text kind) const override;
    QAccessible::Role role() const override { return QAccessible::List; }
    QAccessible::State state() const override;
};

// The client area of a main window.
class AreaAccessible final : public QAccessibleWidget {
public:
    explicit AreaAccessible(WinSurface* surface) : QAccessibleWidget(surface, QAccessible::Client), surface_(surface) {}
    ~AreaAccessible() override
    {
        forgetRowsFrom(0);
        if (listId_ != 0)
            QAccessible::deleteAccessibleInterface(listId_);
    }

    WinAccessibleList* program() const
    {
        return surface_ && surface_->win && !surface_->win->dead ? surface_->win->accessibleList : nullptr;
    }
    bool focused() const { return surface_ && surface_->hasFocus(); }

    // The list's interface, made at the first question; null while the program describes none.
    QAccessibleInterface* list()
    {
        if (program() == nullptr)
            return nullptr;
        if (listId_ == 0)
            listId_ = QAccessible::registerAccessibleInterface(new ListAccessible(this));
        return QAccessible::accessibleInterface(listId_);
    }

    QAccessibleInterface* row(int index)
    {
        if (index < 0 || program() == nullptr || index >= program()->RowCount())
            return nullptr;
        while (int(rowIds_.size()) <= index)
            rowIds_.push_back(QAccessible::registerAccessibleInterface(new RowAccessible(this, int(rowIds_.size()))));
        return QAccessible::accessibleInterface(rowIds_[size_t(index)]);
    }

    // Rows past count are gone: their interfaces go too, so that no reader holds a stale one.
    void forgetRowsFrom(size_t count)
    {
        while (rowIds_.size() > count) {
            QAccessible::deleteAccessibleInterface(rowIds_.back());
            rowIds_.pop_back();
        }
    }

    int childCount() const override { return QAccessibleWidget::childCount() + (program() ? 1 : 0); }

    QAccessibleInterface* child(int index) const override
    {
        const int widgets = QAccessibleWidget::childCount();
        if (index < widgets)
            return QAccessibleWidget::child(index);
        return index == widgets ? const_cast<AreaAccessible*>(this)->list() : nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (child != nullptr && child == const_cast<AreaAccessible*>(this)->list())
            return QAccessibleWidget::childCount();
        return QAccessibleWidget::indexOfChild(child);
    }

    QAccessibleInterface* focusChild() const override
    {
        WinAccessibleList* described = program();
        if (described == nullptr || !focused())
            return QAccessibleWidget::focusChild();
        QAccessibleInterface* focusedRow = const_cast<AreaAccessible*>(this)->row(described->FocusedRow());
        return focusedRow ? focusedRow : const_cast<AreaAccessible*>(this)->list();
    }

private:
    QPointer<WinSurface> surface_;
    QAccessible::Id listId_ = 0;
    std::vector<QAccessible::Id> rowIds_;
};

QWindow* PartAccessible::window() const
{
    return area_->window();
}

// Rows have no places of their own in the windowing: each stands in the list's rectangle.
QRect PartAccessible::rect() const
{
    return area_->rect();
}

bool RowAccessible::isValid() const
{
    return area_->program() != nullptr && row_ < area_->program()->RowCount();
}

QAccessibleInterface* RowAccessible::parent() const
{
    return area_->list();
}

QString RowAccessible::text(QAccessible::Text kind) const
{
    if (kind != QAccessible::Name || !isValid())
        return {};
    return QString::fromStdString(area_->program()->RowName(row_));
}

QAccessible::State RowAccessible::state() const
{
    QAccessible::State state;
    state.selectable = state.focusable = true;
    if (!isValid())
        return state;
    state.selected = area_->program()->RowSelected(row_);
    state.focused = area_->focused() && area_->program()->FocusedRow() == row_;
    return state;
}

bool ListAccessible::isValid() const
{
    return area_->program() != nullptr;
}

QAccessibleInterface* ListAccessible::parent() const
{
    return area_;
}

QAccessibleInterface* ListAccessible::child(int index) const
{
    return area_->row(index);
}

int ListAccessible::childCount() const
{
    return isValid() ? area_->program()->RowCount() : 0;
}

int ListAccessible::indexOfChild(const QAccessibleInterface* child) const
{
    for (int i = 0; i < childCount(); ++i)
        if (area_->row(i) == child)
            return i;
    return -1;
}

QString ListAccessible::text(QAccessible::Text kind) const
{
    if (kind == QAccessible::Description && isValid())
        return QString::fromStdString(area_->program()->Description());
    return {};
}

QAccessible::State ListAccessible::state() const
{
    QAccessible::State state;
    state.focusable = true;
    state.focused = area_->focused() && isValid() && area_->program()->FocusedRow() < 0;
    return state;
}

QAccessibleInterface* makeInterface(const QString&, QObject* object)
{
    auto* surface = dynamic_cast<WinSurface*>(object);
    if (surface == nullptr || surface->win == nullptr || surface->win->kind != WinKind::Main)
        return nullptr;
    return new AreaAccessible(surface);
}

AreaAccessible* areaOf(HWND window)
{
    if (!winqt::Alive(window) || window->kind != WinKind::Main)
        return nullptr;
    return dynamic_cast<AreaAccessible*>(QAccessible::queryAccessibleInterface(window->client));
}

struct ColourRole {
    WinColour colour;
    QPalette::ColorRole role;
};
// A list's colours, which a palette keeps apart from the window's own (a dark theme's list).
constexpr ColourRole COLOUR_ROLES[] = {
    {WinColour::Window, QPalette::Base},
    {WinColour::WindowText, QPalette::Text},
    {WinColour::Highlight, QPalette::Highlight},
    {WinColour::HighlightText, QPalette::HighlightedText},
};

}  // namespace

void winqt::InstallAccessibility()
{
    QAccessible::installFactory(makeInterface);
}

void Win_SetAccessibleList(HWND window, WinAccessibleList* list)
{
    if (!winqt::Alive(window) || window->kind != WinKind::Main)
        return;
    window->accessibleList = list;
    if (AreaAccessible* area = areaOf(window); area != nullptr && list == nullptr)
        area->forgetRowsFrom(0);
}

void Win_NotifyAccessibleList(HWND window)
{
    AreaAccessible* area = QAccessible::isActive() ? areaOf(window) : nullptr;
    WinAccessibleList* program = area ? area->program() : nullptr;
    if (program == nullptr)
        return;
    area->forgetRowsFrom(size_t(program->RowCount()));
    QAccessibleInterface* list = area->list();
    QAccessibleEvent reordered(list, QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&reordered);
    QAccessibleEvent selection(list, QAccessible::SelectionWithin);
    QAccessible::updateAccessibility(&selection);
    if (QAccessibleInterface* row = area->row(program->FocusedRow()); row != nullptr && area->focused()) {
        QAccessibleEvent focus(row, QAccessible::Focus);
        QAccessible::updateAccessibility(&focus);
    }
}

COLORREF Win_SystemColour(WinColour colour)
{
    const QPalette palette = QApplication::palette();
    for (const ColourRole& entry : COLOUR_ROLES)
        if (entry.colour == colour) {
            const QColor c = palette.color(QPalette::Active, entry.role);
            return RGB(c.red(), c.green(), c.blue());
        }
    return RGB(0, 0, 0);
}
