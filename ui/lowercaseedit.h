#pragma once
// A single-line box that holds lower-case text only: typed, pasted and set from code alike.
#include <QLineEdit>

namespace sorvane::ui {

class LowerCaseEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit LowerCaseEdit(QWidget* parent = nullptr);

signals:
    // The box's text changed, by the user or by code; already lower case.
    void changed(const QString& text);
};

} // namespace sorvane::ui
