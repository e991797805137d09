#pragma once
// The about window: product and maker, with a web link and an e-mail link that light up
// under the pointer. It frees itself when it closes.
#include "context.h"
#include "ui/form.h"
#include "ui_about.h"

#include <QString>

class QLabel;

class TAboutBox : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TAboutBox(Context& context, QWidget* parent = nullptr);
    ~TAboutBox() override;

    Ui::TAboutBox ui;

    static constexpr const char* kWebAddress = "http://www.sorvane.example/";
    static constexpr const char* kMailAddress = "support@sorvane.example";

    void FormCreate();
    void FormMouseMove();
    void Label5MouseMove();
    void Label7MouseMove();
    void Label5Click();
    void Label7Click();
    void FormClose();

protected:
    void formClose() override { FormClose(); }
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Both links' look at once: the one under the pointer red and underlined, the other plain
    // blue; with none under the pointer, both plain blue.
    void showHover(QLabel* hot);

    Context& context_;
};
