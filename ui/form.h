#pragma once
// The base of every window: default (Enter) and cancel (Esc) buttons, a show handler that
// runs before the window becomes visible, close handlers on every way of closing, the focus in
// the first control whenever a window comes up, every handler run inside the default error
// handler, and the one place where the windows still there at the end are freed.
#include <QDialog>
#include <QPointer>

class QAbstractButton;

namespace sorvane::ui {

class IMessageBoxes;

class Form : public QDialog {
    Q_OBJECT
public:
    explicit Form(IMessageBoxes& boxes, QWidget* parent = nullptr);

    // Frees every window that is still there, the oldest first, each with what it owns (its
    // menus, its combo boxes' lists). Closed windows are hidden, not freed, so they all end
    // here, once, after the event loop; a window that freed itself is skipped.
    static void freeAll();

    IMessageBoxes& boxes() const { return boxes_; }

    // Enter presses this button while it is enabled, unless the focus is on a push button,
    // which takes Enter itself; Esc presses the cancel button.
    void setDefaultButton(QAbstractButton* button);
    void setCancelButton(QAbstractButton* button);
    QAbstractButton* defaultButton() const { return default_; }
    QAbstractButton* cancelButton() const { return cancel_; }

    // The control that has the focus whenever the window comes up: the first of its tab order.
    // When it cannot take the focus (hidden, disabled), the next one in tab order that can.
    void setFirstControl(QWidget* control) { first_ = control; }
    virtual QWidget* firstControl() const { return first_; }

    // Modeless: returns at once. Modal: returns when the window closes.
    void showModeless();
    int showModal();

    // Runs a handler of this window inside the default error handler.
    template <class Handler> void handle(Handler&& handler);

    void done(int result) override;

protected:
    // Runs each time the window goes from hidden to visible, before it is visible; an error
    // is shown and the window still opens.
    virtual void formShow() {}
    // Asked before every close; false refuses it.
    virtual bool formCloseQuery() { return true; }
    // Runs after the window has been closed (hidden), whatever closed it.
    virtual void formClose() {}

    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

    // Marks the default button as such; Enter is dispatched by keyPressEvent alone.
    void settleButtons();

private:
    void focusFirstControl();

    IMessageBoxes& boxes_;
    QAbstractButton* default_ = nullptr;
    QAbstractButton* cancel_ = nullptr;
    QPointer<QWidget> first_;
    bool fontsAdopted_ = false;
};

// Lets every pending window event (repaint, timers, input) run inside a handler.
void processMessages();

} // namespace sorvane::ui

#include "messages.h"

template <class Handler> void sorvane::ui::Form::handle(Handler&& handler) {
    guarded(boxes_, std::forward<Handler>(handler));
}
