#pragma once
// The edit information window: the own profile, read from the directory before the window
// opens and sent back whole by OK.
#include "context.h"
#include "directory/linelist.h"
#include "ui/form.h"
#include "ui_editinfo.h"

#include <optional>

class TForm7 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm7(Context& context, QWidget* parent = nullptr);

    Ui::TForm7 ui;

    // The own profile as the directory has it: the owner's name, then the eight values. Nothing,
    // having said so, when it cannot be read whole; the window does not open then, since OK
    // sends every value back and those it did not read would overwrite the profile with blanks.
    static std::optional<sorvane::LineList> readProfile(Context& context);
    // What the boxes show when the window comes up: a reply of readProfile.
    sorvane::LineList profile;

    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();

protected:
    void formShow() override { FormShow(); }

private:
    Context& context_;
};
