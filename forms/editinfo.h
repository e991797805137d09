#pragma once
// The edit information window: the own profile, loaded from the directory when shown and
// sent back whole by OK.
#include "context.h"
#include "ui/form.h"
#include "ui_editinfo.h"

class TForm7 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm7(Context& context, QWidget* parent = nullptr);

    Ui::TForm7 ui;

    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();

protected:
    void formShow() override { FormShow(); }

private:
    Context& context_;
};
