#pragma once
// The view information window: one user's profile, read from the directory when shown.
// The opener puts the user's name in the caption before showing the window.
#include "context.h"
#include "ui/form.h"
#include "ui_viewinfo.h"

class TForm6 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm6(Context& context, QWidget* parent = nullptr);

    Ui::TForm6 ui;

    void FormShow();
    void BitBtn1Click();

protected:
    void formShow() override { FormShow(); }

private:
    Context& context_;
};
