#pragma once
// A conversation window: the history with one partner and the input that sends to them. Lines
// that cannot go out wait in the engine (OutgoingLines), in order, until the partner is back;
// the window says so in its history.
#include "context.h"
#include "engine/lookahead.h"
#include "ui/form.h"
#include "ui/history.h"
#include "ui_message.h"

#include <QString>
#include <QStringList>

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
    // Added to the history after a line that could not go out and now waits.
    static QString waitingNote(const QString& partner);
    // Added to the history when a line that waited went out: its first 40 characters.
    static QString deliveredNote(const QString& text);
    // What closing asks while `count` lines to `to` wait: "Close " + `closing` + " and discard
    // them?".
    static QString discardQuestion(int count, const QString& to, const QString& closing);

    // Makes `name` the window's partner: the caption (as written, whatever characters the name
    // holds) and the "To:" label.
    void setPartner(const QString& name);

    // Appends a line to the history, which keeps its most recent lines (sorvane::ui::History).
    void appendHistory(const QString& line);

    // Lines to the partner that have not gone out yet (waiting, or being sent).
    int undeliveredLines() const;
    // What the lock button says: lines to the partner go sealed and signed, or plain.
    bool showsSealed() const { return sealed_; }
    // Opens the safety numbers with the partner (the lock button).
    void LockButtonClick();
    // Said where the line is typed when its line on the wire would be longer than a listener
    // takes.
    static QString tooLongMessage();
    // Added to the history when a line went to the partner's mailbox at the directory because
    // the direct way failed.
    static QString throughDirectoryNote(const QString& partner);

    void Memo1KeyDown(int key);
    void askAhead();
    void Timer1Timer();
    void BitBtn1Click();
    void BitBtn2Click();

protected:
    bool formCloseQuery() override;
    void formClose() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether this window is the one open for `partner`, which the engine's news is about.
    bool isOpenFor(const QString& partner) const;
    // The lock button after what is known of the partner's key.
    void showLock();

    Context& context_;
    std::optional<sorvane::ui::History> history_;           // made once the layout is there
    sorvane::engine::LookAhead lookAhead_;                  // the lookup asked for at Enter
    std::unique_ptr<sorvane::engine::Outbox::Ready> ready_; // the line's head start, made at Enter
    QStringList* deferred_ = nullptr; // where appendHistory puts lines while OK sends
    bool sealed_ = false;
};
