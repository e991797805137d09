#pragma once
// The one place where lines from people who are not friends, set aside during a flood, are
// shown: read-only, oldest first, each with its note. Opened from the message that says how
// many were set aside.
#include "context.h"
#include "engine/arrivals.h"
#include "ui/form.h"
#include "ui/history.h"
#include "ui_setaside.h"

#include <optional>

class TSetAsideBox : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TSetAsideBox(Context& context, QWidget* parent = nullptr);

    Ui::TSetAsideBox ui;

    void showLines(const sorvane::engine::SetAsideLines& lines);

private:
    std::optional<sorvane::ui::History> history_; // made once the layout is there
};
