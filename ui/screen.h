#pragma once
#include <QSize>

namespace sorvane::ui {

// The full pixel size of the primary display (not its work area).
class IScreen {
public:
    virtual ~IScreen() = default;
    virtual QSize size() const = 0;
};

class QtScreen final : public IScreen {
public:
    QSize size() const override;
};

} // namespace sorvane::ui
