#pragma once
// The new user window: registers an account with the directory and hands the new address
// back to the login window.
#include "context.h"
#include "ui/form.h"
#include "ui_newuser.h"

#include <QString>

class TForm2 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm2(Context& context, QWidget* parent = nullptr);

    Ui::TForm2 ui;

    // The window's own test of an e-mail address, before anything is sent.
    static bool IsRealAddress(const QString& address);

    void BitBtn1Click();
    void BitBtn2Click();
    void FormClose();

protected:
    void formClose() override { FormClose(); }

private:
    void handBack(const QString& address);

    Context& context_;
};
