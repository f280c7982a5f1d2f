// The observer that records every paint and opened document and hands modal calls to the
// installed script, and the calls of the test support that need no input events.
#include "tests/support/window/window_testing.h"

#include "window/window_qt.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace {

struct Paint {
    std::vector<WinDrawnText> texts;
    std::vector<WinDrawnFill> fills;
};

class Recorder final : public winqt::Observer {
public:
    void PaintBegins(WinWindow* window) override { drawing_[window] = Paint{}; }
    void TextDrawn(WinWindow* window, const WinRect& rect, const char* text, COLORREF textColour,
                   COLORREF backColour) override
    {
        drawing_[window].texts.push_back(WinDrawnText{rect.left, rect.top, text, textColour, backColour, rect});
    }
    void FillDrawn(WinWindow* window, const WinRect& rect, COLORREF colour) override
    {
        drawing_[window].fills.push_back(WinDrawnFill{rect, colour});
    }
    void PaintEnds(WinWindow* window) override;
    void DialogWaits(WinWindow* dialog, int templateId, const char* caption) override
    {
        ask(WinModal{WinModalKind::Dialog, dialog, templateId, caption, ""});
    }
    bool AnswerMessageBox(WinWindow* owner, const char* text, const char* caption, int* button) override
    {
        const auto answer = ask(WinModal{WinModalKind::MessageBox, nullptr, 0, caption, text, owner});
        if (answer)
            *button = answer->button;
        return answer.has_value();
    }
    bool AnswerFileDialog(bool save, const char* caption, const char* initialPath,
                          std::string* chosen) override
    {
        WinModalKind kind = save ? WinModalKind::SaveFile : WinModalKind::OpenFile;
        const auto answer = ask(WinModal{kind, nullptr, 0, caption, initialPath});
        if (answer)
            *chosen = answer->path;
        return answer.has_value();
    }
    bool OffersTray() override { return fakeTray; }
    bool TakeDocument(const char* path) override
    {
        if (recordDocuments)
            documents.emplace_back(path);
        return recordDocuments;
    }

    // The last completed paint of window; empty when it never painted.
    const Paint& painted(HWND window) const
    {
        static const Paint none;
        auto found = painted_.find(window);
        return found == painted_.end() ? none : found->second;
    }

    std::function<WinModalAnswer(const WinModal&)> script;
    bool recordDocuments = false;
    bool fakeTray = false;
    std::vector<std::string> documents;

private:
    // The script's answer, or none when no script is installed.
    std::optional<WinModalAnswer> ask(const WinModal& modal)
    {
        if (!script)
            return std::nullopt;
        // The script may replace itself while it runs.
        auto running = script;
        return running(modal);
    }

    std::map<const WinWindow*, Paint> drawing_;
    std::map<const WinWindow*, Paint> painted_;
};

void Recorder::PaintEnds(WinWindow* window)
{
    auto drawn = drawing_.extract(window);
    bool first = !painted_.contains(window);
    painted_[window] = std::move(drawn.mapped());
    // A destroyed window's paint goes with it: another window may come at the same address.
    if (first)
        QObject::connect(window, &QObject::destroyed, [this, window] { painted_.erase(window); });
}

// Installed before main runs and never removed: the windowing may call it until the very end.
Recorder* install()
{
    auto* recorder = new Recorder;
    winqt::observer = recorder;
    return recorder;
}

Recorder* const recorder = install();

}  // namespace

void Win_ProcessEvents(int milliseconds)
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return;
    if (milliseconds > 0) {
        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::string Win_TextOf(HWND window)
{
    char text[4096];
    Win_GetWindowText(window, text, sizeof text);
    return text;
}

void Win_Click(HWND button)
{
    auto* widget = winqt::Alive(button) ? qobject_cast<QAbstractButton*>(button->top.data()) : nullptr;
    if (widget != nullptr)
        widget->click();
}

void Win_TypeText(HWND edit, const char* text)
{
    auto* widget = winqt::Alive(edit) ? qobject_cast<QLineEdit*>(edit->top.data()) : nullptr;
    if (widget == nullptr || !widget->isEnabled() || widget->isReadOnly())
        return;
    // The person selects what is there and types over it: one change, one notification.
    widget->selectAll();
    widget->insert(winqt::FromText(text));
}

void Win_SetModalScript(WinAnswer script)
{
    recorder->script = std::move(script);
}

WinAnswer Win_Answer(int button, std::string path)
{
    return [=](const WinModal&) { return WinModalAnswer{button, path}; };
}

WinAnswer Win_Press(std::vector<int> ids)
{
    return [ids = std::move(ids)](const WinModal& modal) {
        for (int id : ids)
            Win_Click(Win_GetDlgItem(modal.dialog, id));
        return WinModalAnswer{};
    };
}

WinModalQueue::WinModalQueue()
{
    Win_SetModalScript([this](const WinModal& modal) {
        static const char* const KINDS[] = {"dialog", "box", "save", "open"};
        seen.push_back(modal.kind == WinModalKind::Dialog
                           ? "dialog " + std::to_string(modal.templateId) + " " + modal.caption
                           : KINDS[int(modal.kind)] + (" " + modal.caption + ": " + modal.text));
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected modal call: " << seen.back();
            if (modal.kind == WinModalKind::Dialog)
                Win_EndDialog(modal.dialog, IDCANCEL);
            return WinModalAnswer{};
        }
        WinAnswer next = std::move(answers.front());
        answers.pop_front();
        return next(modal);
    });
}

WinModalQueue::~WinModalQueue()
{
    Win_SetModalScript(nullptr);
}

void Win_RecordOpenedDocuments(bool record)
{
    recorder->recordDocuments = record;
    if (record)
        recorder->documents.clear();
}

const std::vector<std::string>& Win_OpenedDocuments()
{
    return recorder->documents;
}

int Win_GetScrollPos(HWND window)
{
    return winqt::Alive(window) ? window->scrollPos : 0;
}

bool Win_IsWindowEnabled(HWND window)
{
    return winqt::Alive(window) && !window->top->testAttribute(Qt::WA_ForceDisabled);
}

uint32_t Win_TimerPeriod(HWND window, uint32_t id)
{
    if (!winqt::Alive(window))
        return 0;
    auto found = window->timers.find(id);
    return found != window->timers.end() && found->second->isActive() ? uint32_t(found->second->interval()) : 0;
}

bool Win_IsWindowVisible(HWND window)
{
    return winqt::Alive(window) && window->top->isVisible();
}

void Win_FakeTray(bool offered)
{
    recorder->fakeTray = offered;
}

bool Win_ChooseTrayItem(const char* text)
{
    QMenu* menu = winqt::TrayIcon() ? winqt::TrayIcon()->contextMenu() : nullptr;
    const QList<QAction*> items = menu ? menu->actions() : QList<QAction*>{};
    auto found = std::find_if(items.begin(), items.end(), [text](QAction* a) { return a->text() == text; });
    if (found != items.end())
        (*found)->trigger();
    return found != items.end();
}

bool Win_SaveScreenshot(HWND window, const char* path)
{
    if (!winqt::Alive(window) || path == nullptr)
        return false;
    return window->top->grab().save(winqt::FromText(path), "PNG");
}

std::string Win_DefaultFontFamily()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return {};
    QFont font = QApplication::font();
    // Without an installed font Qt draws boxes: it still names a family, but has no letters.
    if (!QFontMetrics(font).inFont(QChar('A')))
        return {};
    return QFontInfo(font).family().toStdString();
}

bool Win_ChooseMenu(HWND window, int command)
{
    // The menus are the bar's children, their items theirs.
    const QList<QAction*> items = winqt::Alive(window) && window->menuBar ? window->menuBar->findChildren<QAction*>()
                                                                           : QList<QAction*>{};
    auto found = std::find_if(items.begin(), items.end(),
                              [command](QAction* item) { return item->data().toInt() == command && item->isEnabled(); });
    if (found != items.end())
        (*found)->trigger();
    return found != items.end();
}

const std::vector<WinDrawnText>& Win_LastPaintTexts(HWND window)
{
    return recorder->painted(window).texts;
}

const std::vector<WinDrawnFill>& Win_LastPaintFills(HWND window)
{
    return recorder->painted(window).fills;
}

std::string Win_ToolTipAt(HWND window, int x, int y)
{
    return winqt::Alive(window) ? winqt::ToolTipAt(window, QPoint(x, y)).toStdString() : std::string();
}

void Win_SetDarkPalette(bool dark)
{
    static const QPalette desktop = QApplication::palette();
    QPalette palette = desktop;
    if (dark) {
        const QColor window(45, 45, 45), base(30, 30, 30), text(230, 230, 230);
        for (auto [role, colour] : {std::pair{QPalette::Window, window}, std::pair{QPalette::Base, base},
                                    std::pair{QPalette::Button, window}, std::pair{QPalette::WindowText, text},
                                    std::pair{QPalette::Text, text}, std::pair{QPalette::ButtonText, text},
                                    std::pair{QPalette::Highlight, QColor(70, 110, 170)},
                                    std::pair{QPalette::HighlightedText, QColor(255, 255, 255)}})
            palette.setColor(role, colour);
    }
    QApplication::setPalette(palette);
}

WinReadList Win_ReadAccessibleList(HWND window)
{
    WinReadList read{false, "", {}, -1};
    QAccessibleInterface* area = winqt::Alive(window) ? QAccessible::queryAccessibleInterface(window->client) : nullptr;
    QAccessibleInterface* list = nullptr;
    for (int i = 0; area && i < area->childCount() && list == nullptr; ++i)
        if (QAccessibleInterface* child = area->child(i); child && child->role() == QAccessible::List)
            list = child;
    if (list == nullptr)
        return read;
    read.found = true;
    read.description = list->text(QAccessible::Description).toStdString();
    QAccessibleInterface* focus = area->focusChild();
    for (int i = 0; i < list->childCount(); ++i) {
        QAccessibleInterface* row = list->child(i);
        read.rows.push_back({row->text(QAccessible::Name).toStdString(), row->state().selected != 0,
                             row->state().focused != 0});
        if (row == focus)
            read.focusChild = i;
    }
    return read;
}
