#pragma once
// The safety number of the user and one partner: 60 digits that both computers show alike when
// each has the other's real key. The user compares them with the partner (in person, over a call
// they trust) and says so; a partner whose key changed after that gets no lines until the user
// accepts the new key here.
#include "context.h"
#include "ui/form.h"
#include "ui_safety.h"

#include <QString>

class TSafetyNumberBox : public sorvane::ui::Form {
    Q_OBJECT
public:
    TSafetyNumberBox(Context& context, const QString& partner, QWidget* parent = nullptr);

    Ui::TSafetyNumberBox ui;

    // "12345 67890 ..." in three rows of four groups, from the 60 digits.
    static QString grouped(const std::string& digits);

    void CheckBox1Click();
    void AcceptButtonClick();

private:
    // Shows what is known now of the partner's key.
    void showKeys();

    QString partner_;
};
