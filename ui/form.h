#pragma once
// The base of every window: default (Enter) and cancel (Esc) buttons, a show handler that
// runs before the window becomes visible, close handlers on every way of closing, and every
// handler run inside the default error handler.
#include <QDialog>

class QAbstractButton;

namespace sorvane::ui {

class IMessageBoxes;

class Form : public QDialog {
    Q_OBJECT
public:
    explicit Form(IMessageBoxes& boxes, QWidget* parent = nullptr);

    IMessageBoxes& boxes() const { return boxes_; }

    // Enter presses this button while it is enabled; Esc presses the cancel button.
    void setDefaultButton(QAbstractButton* button);
    void setCancelButton(QAbstractButton* button);
    QAbstractButton* defaultButton() const { return default_; }
    QAbstractButton* cancelButton() const { return cancel_; }

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

    // Only the default button reacts to Enter, even while another button has the focus.
    void settleButtons();

private:
    IMessageBoxes& boxes_;
    QAbstractButton* default_ = nullptr;
    QAbstractButton* cancel_ = nullptr;
    bool fontsAdopted_ = false;
};

// Lets every pending window event (repaint, timers, input) run inside a handler.
void processMessages();

} // namespace sorvane::ui

#include "messages.h"

template <class Handler> void sorvane::ui::Form::handle(Handler&& handler) {
    guarded(boxes_, std::forward<Handler>(handler));
}
