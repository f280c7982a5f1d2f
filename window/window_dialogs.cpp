// Dialogs built from templates, their controls and keys, the modal loop, message boxes and the
// file dialogs.
#include "window/window_qt.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>

namespace {

using winqt::FromText;

constexpr int ICON_SIZE = 32;
constexpr uint32_t MB_BUTTONS = 0xF, MB_ICONS = 0xF0;

// Dialog units to pixels, from the dialog font's average character size.
struct BaseUnits {
    int cx, cy;
    QRect toPixels(int x, int y, int width, int height) const
    {
        return QRect(x * cx / 4, y * cy / 8, width * cx / 4, height * cy / 8);
    }
};

QFont dialogFont(const WinDialogTemplate& tpl)
{
    QFont font = QApplication::font();
    QString family = FromText(tpl.fontName);
    if (!family.isEmpty() && QFontDatabase::hasFamily(family))
        font.setFamily(family);
    if (tpl.pointSize > 0)
        font.setPointSize(tpl.pointSize);
    return font;
}

void sendCommand(WinWindow* dialog, int id, uint32_t notification, WinWindow* control)
{
    winqt::Send(dialog, WM_COMMAND, winqt::MakeLong(id, int(notification)), LPARAM(control));
}

// Radio buttons are exclusive within a group: from a control with WS_GROUP to the next one.
struct GroupState {
    int group = 0;
    QButtonGroup* radios = nullptr;
    int radiosGroup = -1;
};

QWidget* makeButton(WinWindow* dialog, WinWindow* control, QAbstractButton* button)
{
    QObject::connect(button, &QAbstractButton::clicked, control, [dialog, control] {
        sendCommand(dialog, control->id, BN_CLICKED, control);
    });
    return button;
}

QWidget* makePushButton(WinWindow* dialog, WinWindow* control, const WinControlTemplate& tpl, QWidget* parent)
{
    auto* button = new QPushButton(FromText(tpl.text), parent);
    // Enter goes to the dialog, which knows its default button (the person's focus aside).
    button->setAutoDefault(false);
    if (tpl.kind == WinControl::DefPushButton) {
        button->setDefault(true);
        if (dialog->defaultId == 0)
            dialog->defaultId = tpl.id;
    }
    return makeButton(dialog, control, button);
}

QWidget* makeRadioButton(WinWindow* dialog, WinWindow* control, const WinControlTemplate& tpl, QWidget* parent,
                         GroupState& groups)
{
    auto* button = new QRadioButton(FromText(tpl.text), parent);
    if (groups.radios == nullptr || groups.radiosGroup != groups.group) {
        groups.radios = new QButtonGroup(parent);
        groups.radiosGroup = groups.group;
    }
    groups.radios->addButton(button);
    control->radioGroup = groups.radios;
    return makeButton(dialog, control, button);
}

QWidget* makeEdit(WinWindow* dialog, WinWindow* control, const WinControlTemplate& tpl, QWidget* parent)
{
    auto* edit = new QLineEdit(FromText(tpl.text), parent);
    // As on Windows, every change of the text notifies, the program's own included.
    QObject::connect(edit, &QLineEdit::textChanged, control, [dialog, control] {
        sendCommand(dialog, control->id, EN_CHANGE, control);
    });
    return edit;
}

QWidget* makeStatic(const WinControlTemplate& tpl, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(FromText(tpl.text));
    return label;
}

QWidget* makeIcon(const WinControlTemplate& tpl, QWidget* parent)
{
    auto* label = new QLabel(parent);
    QPixmap pixmap(FromText(tpl.text));
    if (!pixmap.isNull())
        label->setPixmap(pixmap.scaled(ICON_SIZE, ICON_SIZE, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return label;
}

QWidget* makeWidget(WinWindow* dialog, WinWindow* control, const WinControlTemplate& tpl, QWidget* parent,
                    GroupState& groups)
{
    switch (tpl.kind) {
    case WinControl::PushButton:
    case WinControl::DefPushButton:
        return makePushButton(dialog, control, tpl, parent);
    case WinControl::CheckBox:
        return makeButton(dialog, control, new QCheckBox(FromText(tpl.text), parent));
    case WinControl::RadioButton:
        return makeRadioButton(dialog, control, tpl, parent, groups);
    case WinControl::Edit:
        return makeEdit(dialog, control, tpl, parent);
    case WinControl::Static:
        return makeStatic(tpl, parent);
    case WinControl::ListBox:
        return new QListWidget(parent);
    case WinControl::Icon:
        return makeIcon(tpl, parent);
    case WinControl::GroupBox:
        return new QGroupBox(FromText(tpl.text), parent);
    }
    return new QWidget(parent);
}

void addControl(WinWindow* dialog, const WinControlTemplate& tpl, const BaseUnits& units, GroupState& groups)
{
    if (tpl.style & WS_GROUP)
        ++groups.group;
    // The handle comes first, as the context of the signals connected while building; it then
    // becomes a child of the finished widget.
    auto* control = new WinWindow(nullptr, WinKind::Control);
    control->id = tpl.id;
    control->control = tpl.kind;
    control->style = tpl.style;
    control->parent = dialog;
    QWidget* widget = makeWidget(dialog, control, tpl, dialog->client, groups);
    control->setParent(widget);
    control->top = widget;
    control->client = widget;
    QRect rect = units.toPixels(tpl.x, tpl.y, tpl.cx, tpl.cy);
    if (tpl.kind == WinControl::Icon)
        rect.setSize(QSize(ICON_SIZE, ICON_SIZE));
    widget->setGeometry(rect);
    widget->setEnabled(!(tpl.style & WS_DISABLED));
    dialog->children.push_back(control);
}

WinWindow* buildDialog(const WinDialogTemplate& tpl, HWND parent, DlgProc procedure)
{
    bool child = tpl.child && winqt::Alive(parent);
    QWidget* qtParent = !winqt::Alive(parent) ? nullptr : child ? parent->client.data() : parent->top->window();
    auto* surface = new WinSurface(qtParent, child ? Qt::Widget : Qt::Dialog);
    auto* dialog = new WinWindow(surface, WinKind::Dialog);
    surface->win = dialog;
    dialog->dlgProc = procedure;
    dialog->id = tpl.id;
    dialog->parent = winqt::Alive(parent) ? parent : nullptr;
    if (dialog->parent != nullptr)
        dialog->parent->children.push_back(dialog);

    QFont font = dialogFont(tpl);
    surface->setFont(font);
    QFontMetrics metrics(font);
    BaseUnits units{metrics.averageCharWidth(), metrics.height()};
    surface->setWindowTitle(FromText(tpl.caption));
    // A child strip covers what its parent paints beneath it.
    surface->setAutoFillBackground(child);
    GroupState groups;
    for (size_t i = 0; i < tpl.controlCount; ++i)
        addControl(dialog, tpl.controls[i], units, groups);

    QRect rect = units.toPixels(tpl.x, tpl.y, tpl.cx, tpl.cy);
    if (child) {
        surface->setGeometry(rect);
    } else {
        surface->setFixedSize(rect.size());
        QPoint origin = dialog->parent ? dialog->parent->client->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0);
        surface->move(origin + rect.topLeft());
    }
    surface->hide();
    return dialog;
}

WinWindow* firstTabStop(WinWindow* dialog)
{
    for (WinWindow* control : dialog->children) {
        if (control->kind == WinKind::Control && (control->style & WS_TABSTOP) && control->top->isEnabled())
            return control;
    }
    return nullptr;
}

// WM_INITDIALOG; a true answer puts the focus on the first control the person can tab to.
void initDialog(WinWindow* dialog, LPARAM lParam)
{
    WinWindow* first = firstTabStop(dialog);
    if (winqt::Send(dialog, WM_INITDIALOG, WPARAM(first), lParam) != 0 && first != nullptr && !first->dead)
        first->client->setFocus(Qt::OtherFocusReason);
}

WinWindow* controlOf(WinWindow* dialog, QWidget* widget)
{
    for (WinWindow* control : dialog->children) {
        if (control->kind == WinKind::Control && control->top == widget)
            return control;
    }
    return nullptr;
}

bool isPushButton(const WinWindow* control)
{
    return control->control == WinControl::PushButton || control->control == WinControl::DefPushButton;
}

// Enter: the push button that has the focus, else the default button when it is enabled, else
// IDOK, as the dialog manager of Windows decides.
void pressDefault(WinWindow* dialog)
{
    QWidget* focus = dialog->client->window()->focusWidget();
    if (WinWindow* focused = focus ? controlOf(dialog, focus) : nullptr; focused && isPushButton(focused)) {
        sendCommand(dialog, focused->id, BN_CLICKED, focused);
        return;
    }
    if (dialog->defaultId == 0) {
        sendCommand(dialog, IDOK, BN_CLICKED, Win_GetDlgItem(dialog, IDOK));
        return;
    }
    WinWindow* button = Win_GetDlgItem(dialog, dialog->defaultId);
    if (button == nullptr || button->top->isEnabled())
        sendCommand(dialog, dialog->defaultId, BN_CLICKED, button);
}

QListWidget* listOf(HWND list)
{
    return winqt::Alive(list) ? qobject_cast<QListWidget*>(list->top.data()) : nullptr;
}

QAbstractButton* buttonOf(HWND button)
{
    return winqt::Alive(button) ? qobject_cast<QAbstractButton*>(button->top.data()) : nullptr;
}

// Runs a file dialog, unless the observer answers it; path receives the choice when it fits.
bool fileDialog(HWND owner, char* path, size_t size, bool save)
{
    if (path == nullptr || size == 0)
        return false;
    QString caption = save ? "Save As" : "Open";
    QString chosen;
    std::string answer;
    if (winqt::observer != nullptr
        && winqt::observer->AnswerFileDialog(save, caption.toUtf8().constData(), path, &answer)) {
        chosen = QString::fromStdString(answer);
    } else {
        QFileDialog dialog(winqt::Alive(owner) ? owner->top->window() : nullptr, caption);
        // Qt's own dialog: the same on every desktop, and usable offscreen.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        // The program checks for an existing file itself.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        dialog.selectFile(QString::fromUtf8(path));
        winqt::ProgramScope modal(&dialog);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().first();
    }
    QByteArray bytes = chosen.toUtf8();
    // A name cut short would be another file: like Windows, refuse what does not fit.
    if (bytes.isEmpty() || size_t(bytes.size()) >= size)
        return false;
    winqt::CopyText(bytes, path, size);
    return true;
}

int realMessageBox(HWND owner, const char* text, const char* caption, uint32_t style)
{
    bool okCancel = (style & MB_BUTTONS) == MB_OKCANCEL;
    QMessageBox box(winqt::Alive(owner) ? owner->top->window() : nullptr);
    box.setWindowTitle(FromText(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(FromText(text));
    box.setIcon((style & MB_ICONS) == MB_ICONEXCLAMATION ? QMessageBox::Warning : QMessageBox::NoIcon);
    box.setStandardButtons(okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
    box.setEscapeButton(okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    winqt::ProgramScope modal(&box);
    return (box.exec() == QMessageBox::Ok || !okCancel) ? IDOK : IDCANCEL;
}

}  // namespace

namespace winqt {

void DialogKey(WinWindow* dialog, QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        pressDefault(dialog);
        break;
    case Qt::Key_Escape:
        sendCommand(dialog, IDCANCEL, BN_CLICKED, Win_GetDlgItem(dialog, IDCANCEL));
        break;
    default:
        // A dialog's keys stay in the dialog, even when it is a strip of the main window.
        break;
    }
    event->accept();
}

}  // namespace winqt

HWND Win_CreateDialog(const WinDialogTemplate& dialog, HWND parent, DlgProc procedure, LPARAM lParam)
{
    if (QApplication::instance() == nullptr)
        return nullptr;
    WinWindow* created = buildDialog(dialog, parent, procedure);
    initDialog(created, lParam);
    return created;
}

intptr_t Win_DialogBox(const WinDialogTemplate& dialog, HWND owner, DlgProc procedure, LPARAM lParam)
{
    if (QApplication::instance() == nullptr)
        return -1;
    WinDialogTemplate modal = dialog;
    modal.child = false;
    WinWindow* created = buildDialog(modal, owner, procedure);
    winqt::ProgramScope running(created->top);
    initDialog(created, lParam);
    if (!created->ended) {
        created->top->setWindowModality(Qt::ApplicationModal);
        winqt::ShowAndExpose(created->top);
        QEventLoop loop;
        created->modalLoop = &loop;
        if (winqt::observer != nullptr) {
            std::string caption = dialog.caption ? dialog.caption : "";
            QTimer::singleShot(0, created, [created, id = dialog.id, caption] {
                if (winqt::observer != nullptr)
                    winqt::observer->DialogWaits(created, id, caption.c_str());
            });
        }
        while (!created->ended)
            loop.exec();
        created->modalLoop = nullptr;
    }
    intptr_t result = created->result;
    Win_DestroyWindow(created);
    return result;
}

void Win_EndDialog(HWND dialog, intptr_t result)
{
    if (dialog == nullptr || dialog->kind != WinKind::Dialog)
        return;
    dialog->ended = true;
    dialog->result = result;
    if (dialog->modalLoop != nullptr)
        dialog->modalLoop->quit();
    else if (dialog->top)
        dialog->top->hide();
}

HWND Win_GetDlgItem(HWND dialog, int id)
{
    if (!winqt::Alive(dialog))
        return nullptr;
    for (WinWindow* child : dialog->children) {
        if (child->kind == WinKind::Control && child->id == id)
            return child;
    }
    return nullptr;
}

bool Win_IsChecked(HWND button)
{
    QAbstractButton* widget = buttonOf(button);
    return widget != nullptr && widget->isChecked();
}

void Win_SetChecked(HWND button, bool checked)
{
    QAbstractButton* widget = buttonOf(button);
    if (widget == nullptr)
        return;
    // An exclusive group would keep its one checked button; the program may clear it.
    QButtonGroup* group = button->radioGroup;
    if (group != nullptr)
        group->setExclusive(false);
    widget->setChecked(checked);
    if (group != nullptr)
        group->setExclusive(true);
}

void Win_LimitText(HWND edit, int characters)
{
    auto* widget = winqt::Alive(edit) ? qobject_cast<QLineEdit*>(edit->top.data()) : nullptr;
    if (widget != nullptr)
        widget->setMaxLength(characters > 0 ? characters : 32767);
}

void Win_SetDefaultButton(HWND dialog, int id)
{
    if (!winqt::Alive(dialog))
        return;
    dialog->defaultId = id;
    for (WinWindow* control : dialog->children) {
        if (auto* button = qobject_cast<QPushButton*>(control->top.data()))
            button->setDefault(control->id == id);
    }
}

int Win_ListAddString(HWND list, const char* text)
{
    QListWidget* widget = listOf(list);
    if (widget == nullptr)
        return -1;
    widget->addItem(FromText(text));
    return widget->count() - 1;
}

void Win_ListResetContent(HWND list)
{
    if (QListWidget* widget = listOf(list))
        widget->clear();
}

// The list scrolls by whole items, so its scroll bar's value is the index of the top item.
void Win_ListSetTopIndex(HWND list, int index)
{
    QListWidget* widget = listOf(list);
    if (widget == nullptr)
        return;
    widget->doItemsLayout();
    widget->verticalScrollBar()->setValue(index);
}

int Win_ListGetTopIndex(HWND list)
{
    QListWidget* widget = listOf(list);
    return widget == nullptr ? -1 : widget->verticalScrollBar()->value();
}

int Win_ListCount(HWND list)
{
    QListWidget* widget = listOf(list);
    return widget == nullptr ? 0 : widget->count();
}

std::string Win_ListText(HWND list, int index)
{
    QListWidget* widget = listOf(list);
    if (widget == nullptr || index < 0 || index >= widget->count())
        return {};
    return widget->item(index)->text().toStdString();
}

int Win_MessageBox(HWND owner, const char* text, const char* caption, uint32_t style)
{
    if (QApplication::instance() == nullptr)
        return 0;
    // Windows' caption when the program gives none.
    if (caption == nullptr)
        caption = "Error";
    int button = IDCANCEL;
    if (winqt::observer != nullptr && winqt::observer->AnswerMessageBox(owner, text ? text : "", caption, &button))
        return button;
    return realMessageBox(owner, text, caption, style);
}

bool Win_SaveFileName(HWND owner, char* path, size_t size)
{
    return fileDialog(owner, path, size, true);
}

bool Win_OpenFileName(HWND owner, char* path, size_t size)
{
    return fileDialog(owner, path, size, false);
}
