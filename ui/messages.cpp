#include "messages.h"

#include <QApplication>
#include <QMessageBox>

namespace sorvane::ui {

namespace {
void showBox(const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, QApplication::applicationName(), text, QMessageBox::Ok);
    box.setWindowTitle(QApplication::applicationName());
    box.exec(); // no parent: Qt centres it on the screen
}
} // namespace

void QtMessageBoxes::showMessage(const QString& text) {
    showBox(text, QMessageBox::NoIcon);
}

void QtMessageBoxes::showError(const QString& text) {
    showBox(text, QMessageBox::Critical);
}

bool QtMessageBoxes::askYesNo(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString errorText(const QString& message) {
    // Every error reads as a sentence: "List index out of bounds (0)" gains its full stop,
    // a message that already ends a sentence keeps its own.
    static const QString enders = QStringLiteral(".!?");
    if (!message.isEmpty() && !enders.contains(message.back()))
        return message + '.';
    return message;
}

void showEscapedError(IMessageBoxes& boxes, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        boxes.showError(errorText(QString::fromUtf8(e.what())));
    } catch (...) {
        boxes.showError(errorText(QStringLiteral("Unexpected error")));
    }
}

} // namespace sorvane::ui
