#pragma once
// What the windows say to the user goes through this seam, so that a test can read it
// without a modal loop.
#include <QString>
#include <exception>

namespace sorvane::ui {

class IMessageBoxes {
public:
    virtual ~IMessageBoxes() = default;
    // A plain message: application title as caption, no icon, one OK button, screen centre.
    virtual void showMessage(const QString& text) = 0;
    // The default error box: like showMessage, but with the stop icon.
    virtual void showError(const QString& text) = 0;
    // A question with Yes and No buttons, No the default; true for Yes.
    virtual bool askYesNo(const QString& text) = 0;
};

// The real boxes (QMessageBox, modal).
class QtMessageBoxes final : public IMessageBoxes {
public:
    void showMessage(const QString& text) override;
    void showError(const QString& text) override;
    bool askYesNo(const QString& text) override;
};

// The text the default error box shows for an error message: a "." is appended unless the
// message already ends a sentence (so "... (0)" becomes "... (0).", "...server." stays).
QString errorText(const QString& message);

// Shows the error that escaped a handler. Anything that is not a std::exception gets a
// generic text rather than ending the program.
void showEscapedError(IMessageBoxes& boxes, std::exception_ptr error);

// Runs a handler inside the default error handler: an exception abandons just the handler
// and is shown in the error box; the program goes on.
template <class Handler> void guarded(IMessageBoxes& boxes, Handler&& handler) {
    try {
        handler();
    } catch (...) {
        showEscapedError(boxes, std::current_exception());
    }
}

} // namespace sorvane::ui
