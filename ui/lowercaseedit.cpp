#include "lowercaseedit.h"

#include <QValidator>

namespace sorvane::ui {

namespace {
// Lower-cases what is typed or pasted before it reaches the box.
class LowerCaseValidator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toLower();
        return Acceptable;
    }
};
} // namespace

LowerCaseEdit::LowerCaseEdit(QWidget* parent) : QLineEdit(parent) {
    setValidator(new LowerCaseValidator(this));
    // setText() bypasses the validator, so text set from code is lowered here; the handlers
    // see one change, with the lowered text.
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
        const QString lower = text.toLower();
        if (lower != text) {
            const int caret = cursorPosition();
            setText(lower);
            setCursorPosition(caret);
            return;
        }
        emit changed(text);
    });
}

} // namespace sorvane::ui
