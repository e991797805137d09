#include "form.h"

#include "fonts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>

namespace sorvane::ui {

Form::Form(IMessageBoxes& boxes, QWidget* parent) : QDialog(parent), boxes_(boxes) {}

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
        if (default_ && default_->isEnabled() && default_->isVisible())
            default_->click();
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
    if (!event->spontaneous())
        handle([&] { formShow(); });
    QDialog::showEvent(event);
}

void processMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace sorvane::ui
