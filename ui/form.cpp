#include "form.h"

#include "fonts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>

#include <algorithm>
#include <utility>
#include <vector>

namespace sorvane::ui {

namespace {
// Every window created so far that is still there, oldest first. Used on the user-interface
// thread only.
std::vector<QPointer<Form>>& createdWindows() {
    static std::vector<QPointer<Form>> windows;
    return windows;
}
} // namespace

Form::Form(IMessageBoxes& boxes, QWidget* parent) : QDialog(parent), boxes_(boxes) {
    std::vector<QPointer<Form>>& windows = createdWindows();
    std::erase_if(windows, [](const QPointer<Form>& w) { return w.isNull(); });
    windows.emplace_back(this);
}

void Form::freeAll() {
    // Oldest first: the main window, whose listener's threads call into it, goes before the
    // windows those calls open. Pop-ups are not windows of their own here: each goes with the
    // window that owns it, so none is freed twice.
    const std::vector<QPointer<Form>> windows = std::exchange(createdWindows(), {});
    for (const QPointer<Form>& window : windows)
        delete window.data(); // null for a window freed meanwhile, with its owner or by itself
}

void Form::setDefaultButton(QAbstractButton* button) {
    default_ = button;
    settleButtons();
}

void Form::setCancelButton(QAbstractButton* button) {
    cancel_ = button;
}

void Form::settleButtons() {
    for (QPushButton* b : findChildren<QPushButton*>()) {
        b->setAutoDefault(false);
        b->setDefault(b == default_);
    }
}

void Form::showModeless() {
    show();
    raise();
    activateWindow();
}

int Form::showModal() {
    return exec();
}

void Form::done(int result) {
    bool allowed = true;
    handle([&] { allowed = formCloseQuery(); });
    if (!allowed)
        return;
    const bool wasVisible = isVisible();
    QDialog::done(result);
    if (wasVisible)
        handle([&] { formClose(); });
}

void Form::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter) {
        // Enter reaches the window only from a control that has no use for it itself (an edit
        // box, a list, a radio button). A push button with the focus takes it, as it takes
        // Space, so that Tab to "Cancel" and Enter cancels; from anywhere else Enter presses
        // the default button.
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QAbstractButton* pressed = focused ? focused : default_;
        if (pressed && pressed->isEnabled() && pressed->isVisible())
            pressed->click();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (cancel_ && cancel_->isEnabled())
            cancel_->click();
        event->accept(); // without a cancel button Esc does nothing
        return;
    }
    QDialog::keyPressEvent(event);
}

void Form::showEvent(QShowEvent* event) {
    if (!fontsAdopted_) {
        fontsAdopted_ = true;
        adoptStandInFonts(this);
    }
    if (!event->spontaneous()) {
        handle([&] { formShow(); });
        focusFirstControl();
    }
    QDialog::showEvent(event);
}

void Form::focusFirstControl() {
    QWidget* const first = firstControl();
    if (!first || first->window() != this)
        return;
    QWidget* control = first;
    do {
        if (control != this && control->window() == this && control->isEnabled() &&
            control->isVisibleTo(this) && (control->focusPolicy() & Qt::TabFocus)) {
            // Taken when the window becomes active, which showing it asks for.
            control->setFocus(Qt::OtherFocusReason);
            return;
        }
        control = control->nextInFocusChain();
    } while (control != first);
}

void processMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace sorvane::ui
