#pragma once
// A conversation window: the history with one partner and the input that sends to them.
#include "context.h"
#include "ui/form.h"
#include "ui_message.h"

#include <QString>

namespace sorvane::ui {
class Timer;
}

class TForm4 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm4(Context& context, QWidget* parent = nullptr);

    Ui::TForm4 ui;
    sorvane::ui::Timer* Timer1; // presses OK right after Enter has put its line break in

    // The peer message line for `text`: "<" + sender + "> " + text without its trailing
    // characters of code 32 or below; inner line breaks travel as LF.
    static QString peerLine(const QString& sender, QString text);
    // Added to the history after a line that did not reach the partner.
    static QString notDeliveredNote(const QString& partner);

    // Appends a line to the history. A line with a very long run of characters that has no
    // place to wrap (a peer may send up to a megabyte of it) switches this history to
    // wrapping anywhere: wrapping such a run at word boundaries takes the text layout time
    // that grows with the square of its length, minutes for a megabyte, with the window
    // frozen meanwhile.
    void appendHistory(const QString& line);

    void Memo1KeyDown(int key);
    void Timer1Timer();
    void BitBtn1Click();
    void BitBtn2Click();

protected:
    void formClose() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Context& context_;
    int enterBreakAt_ = -1; // where Enter put its line break, until the send that follows
};
