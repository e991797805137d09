#include "newuser.h"

#include "globals.h"
#include "login.h"

#include "directory/directory.h"
#include "engine/thread.h"
#include "ui/messages.h"

#include <QStyle>

TForm2::TForm2(Context& context, QWidget* parent) : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    ui.BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogNoButton));
    setDefaultButton(ui.BitBtn1);
    setCancelButton(ui.BitBtn2);

    connect(ui.BitBtn1, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn1Click(); }); });
    connect(ui.BitBtn2, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn2Click(); }); });
    setFirstControl(ui.Edit1);
}

bool TForm2::IsRealAddress(const QString& address) {
    const qsizetype at = address.indexOf('@');
    if (at < 0)
        return false;
    if (address.contains(' '))
        return false;
    // Only the first "@" has neighbours that matter; a missing neighbour passes here and is
    // caught by the rules on the first and last character.
    if (at + 1 < address.size() && address.at(at + 1) == '.')
        return false;
    if (at > 0 && address.at(at - 1) == '.')
        return false;
    if (!address.contains('.'))
        return false;
    const auto edge = [](QChar c) { return c == '@' || c == '.'; };
    return !edge(address.front()) && !edge(address.back());
}

void TForm2::BitBtn1Click() {
    SORVANE_ASSERT_UI_THREAD();
    const QString address = ui.Edit1->text();
    if (address.isEmpty()) {
        context_.boxes.showMessage(QStringLiteral("Please write your e-mail!"));
        return;
    }
    if (!IsRealAddress(address)) {
        context_.boxes.showMessage(QStringLiteral("Please write your e-mail correctly!"));
        return;
    }
    if (ui.MaskEdit1->text().isEmpty()) {
        context_.boxes.showMessage(QStringLiteral("Please write a password!"));
        return;
    }
    if (ui.MaskEdit1->text() != ui.MaskEdit2->text()) {
        context_.boxes.showMessage(QStringLiteral("Please check your password!"));
        return;
    }

    const sorvane::LineList reply =
        context_.directory.newUser(address.toStdString(), ui.MaskEdit1->text().toStdString());
    const std::string& answer = reply[0];
    if (answer == "username exists") {
        context_.boxes.showMessage(address + QStringLiteral(" is already exist!"));
    } else if (answer == "OK") {
        context_.boxes.showMessage(QStringLiteral("Your account is created."));
        handBack(address);
    } else {
        context_.boxes.showMessage(QStringLiteral("Please choose another username"));
    }
}

void TForm2::handBack(const QString& address) {
    // Set through the login window's own boxes, so that its handlers lay it out for logging
    // in and keep its OK button off until the password is typed.
    Form1->showModeless();
    Form1->ui.Edit1->setText(address);
    Form1->ui.RadioButton2->setChecked(true);
    Form1->ui.MaskEdit1->clear();
    Form1->ui.MaskEdit1->setFocus(); // the address is there; the password comes next
    close();
}

void TForm2::BitBtn2Click() {
    close();
}

void TForm2::FormClose() {
    if (Form1)
        Form1->showModeless(); // back in front, ready for typing
}
