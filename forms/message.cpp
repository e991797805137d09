#include "message.h"

#include "globals.h"
#include "login.h"
#include "main.h"
#include "windows.h"

#include "directory/directory.h"
#include "directory/errors.h"
#include "engine/thread.h"
#include "net/address.h"
#include "ui/artwork.h"
#include "ui/timer.h"

#include <QKeyEvent>
#include <QPointer>
#include <QStyle>
#include <QTextCursor>
#include <QTextOption>

#include <ctime>
#include <utility>

TForm4::TForm4(Context& context, QWidget* parent)
    : Form(context.boxes, parent), context_(context), lookAhead_(context.directory) {
    ui.setupUi(this);
    history_.emplace(ui.Memo2);
    // A window of its own, with its own task-bar entry.
    setWindowFlags(Qt::Window);
    setWindowIcon(sorvane::ui::artwork::programIcon());
    ui.Splitter1->setSizes({110, 298 - 30 - 110 - 3 - 41});
    ui.Splitter1->setStretchFactor(0, 0);
    ui.Splitter1->setStretchFactor(1, 1);
    ui.BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    ui.BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    setDefaultButton(ui.BitBtn1);
    setCancelButton(ui.BitBtn2);
    setAttribute(Qt::WA_DeleteOnClose, false);

    Timer1 = new sorvane::ui::Timer(context.boxes, 1, false, this);
    Timer1->onTimer = [this] { Timer1Timer(); };

    connect(ui.BitBtn1, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn1Click(); }); });
    connect(ui.BitBtn2, &QPushButton::clicked, this,
            [this] { handle([this] { BitBtn2Click(); }); });
    ui.Memo1->installEventFilter(this);
    setFirstControl(ui.Memo1);

    ui.LockButton->setIconSize(QSize(16, 16));
    connect(ui.LockButton, &QToolButton::clicked, this,
            [this] { handle([this] { LockButtonClick(); }); });

    using sorvane::engine::OutgoingLines;
    using sorvane::engine::Trust;
    sorvane::engine::Engine& engine = Form3->engine();
    connect(&engine.outgoing(), &OutgoingLines::waiting, this,
            [this](const QString& partner, OutgoingLines::WaitReason reason) {
                if (isOpenFor(partner))
                    appendHistory(reason == OutgoingLines::WaitReason::KeyChanged
                                      ? Trust::heldNote(partner)
                                      : waitingNote(partner));
            });
    connect(&engine.outgoing(), &OutgoingLines::delivered, this,
            [this](const QString& partner, const QString& text) {
                if (isOpenFor(partner))
                    appendHistory(deliveredNote(text));
            });
    connect(&engine.outgoing(), &OutgoingLines::wentThroughDirectory, this,
            [this](const QString& partner) {
                if (isOpenFor(partner))
                    appendHistory(throughDirectoryNote(partner));
            });
    connect(&engine.outgoing(), &OutgoingLines::refused, this,
            [this](const QString& partner, const QString& reason) {
                if (isOpenFor(partner))
                    appendHistory(QStringLiteral("(not delivered: %1)").arg(reason));
            });
    connect(&engine.trust(), &Trust::keyChanged, this, [this](const QString& partner) {
        if (!isOpenFor(partner))
            return;
        showLock();
        if (Form3->engine().trust().takeNotice(partner))
            appendHistory(Trust::newKeyNote(partner));
    });
}

void TForm4::showLock() {
    const QString partner = ui.Label2->text();
    const sorvane::engine::Trust& trust = Form3->engine().trust();
    sealed_ = trust.publishes() && trust.pinned(partner).has_value();
    ui.LockButton->setIcon(
        QIcon(sealed_ ? sorvane::ui::artwork::lockClosed() : sorvane::ui::artwork::lockOpen()));
    ui.LockButton->setToolTip(
        sealed_ ? QStringLiteral("Lines to %1 are sealed and signed. Click for the safety number.")
                      .arg(partner)
        : trust.publishes()
            ? QStringLiteral("Lines to %1 go unsealed: %1 publishes no key.").arg(partner)
            : QStringLiteral("Lines to %1 go unsealed: this computer's key cannot be used.")
                  .arg(partner));
}

void TForm4::LockButtonClick() {
    openSafetyNumber(context_, ui.Label2->text());
}

QString TForm4::throughDirectoryNote(const QString& partner) {
    return QStringLiteral("(through the directory: %1 cannot be reached directly)").arg(partner);
}

QString TForm4::tooLongMessage() {
    return QStringLiteral("This line is too long to send (1 MiB at most).");
}

bool TForm4::isOpenFor(const QString& partner) const {
    return ui.Label2->text() == partner && TForm3::openChatWindow(partner) == this;
}

int TForm4::undeliveredLines() const {
    return Form3->engine().outgoing().undelivered(ui.Label2->text());
}

bool TForm4::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui.Memo1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            handle([this] { Memo1KeyDown(13); });
            // The input gets its line break at the caret whatever Shift, Ctrl or Alt is held.
            // Put in here rather than by the editor, which passes Ctrl+Enter and Alt+Enter on
            // to the window: its Enter would press OK at once, and the timer press it again.
            // The input is not drawn again until the timer has fired: drawing it would only
            // hold up OK, which clears it.
            ui.Memo1->setUpdatesEnabled(false);
            QTextCursor cursor = ui.Memo1->textCursor();
            cursor.insertText(QStringLiteral("\n"));
            ui.Memo1->setTextCursor(cursor);
            ui.Memo1->ensureCursorVisible();
            handle([this] { askAhead(); });
            return true;
        }
    }
    return Form::eventFilter(watched, event);
}

void TForm4::appendHistory(const QString& line) {
    if (deferred_) {
        deferred_->append(line);
        return;
    }
    history_->append(line);
}

void TForm4::Memo1KeyDown(int key) {
    if (key == 13) {
        Timer1->setEnabled(true);
    }
}

void TForm4::askAhead() {
    // Where the directory gave the partner's address within the last minute, the line goes
    // there: its head start, the connect begun and the line sealed with the text as OK will find
    // it, is made here while the timer waits. Otherwise the look-ahead asks the directory, and
    // makes the head start once it has answered.
    using sorvane::engine::Outbox;
    const QString partner = ui.Label2->text();
    const QString own = Form1->ui.Edit1->text();
    const QString line = peerLine(own, ui.Memo1->toPlainText());
    sorvane::engine::LookAhead::Line ahead{
        {line.toStdString(), line.mid(own.size() + 3).toStdString(),
         sorvane::engine::sealing::newMessageId(), static_cast<long long>(std::time(nullptr))},
        {own.toStdString(), Form3->engine().trust().identity(), {}}};
    ready_.reset();
    if (const std::optional<Outbox::Address> known = Form3->engine().addresses().fresh(partner)) {
        // A long line is sealed by the send's worker instead.
        if (ahead.line.plain.size() < Outbox::BytesPerStep)
            ready_ = Outbox::makeReady(partner.toStdString(), *known, ahead.line, ahead.from);
        return;
    }
    lookAhead_.ask(partner.toStdString(), std::move(ahead));
}

void TForm4::Timer1Timer() {
    Timer1->setEnabled(false);
    ui.Memo1->setUpdatesEnabled(true);
    ui.BitBtn1->click();
}

QString TForm4::peerLine(const QString& sender, QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); // CR LF only ends the line
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1).unicode() <= 32)
        --end;
    text.truncate(end);
    return '<' + sender + "> " + text;
}

QString TForm4::waitingNote(const QString& partner) {
    return QStringLiteral("(waiting: %1 cannot be reached; it goes out when %1 is back online)")
        .arg(partner);
}

QString TForm4::deliveredNote(const QString& text) {
    QString start = text.left(40);
    start.replace('\n', ' ');
    return QStringLiteral("(delivered: %1)").arg(start);
}

QString TForm4::discardQuestion(int count, const QString& to, const QString& closing) {
    return count == 1 ? QStringLiteral("1 line to %1 has not been delivered yet. Close %2 and "
                                       "discard it?")
                            .arg(to, closing)
                      : QStringLiteral("%1 lines to %2 have not been delivered yet. Close %3 and "
                                       "discard them?")
                            .arg(QString::number(count), to, closing);
}

void TForm4::setPartner(const QString& name) {
    // A title is not markup, but "[*]" in it is Qt's placeholder for the modified mark and
    // would vanish; doubled it shows as written.
    QString title = name + " - Message";
    title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    setWindowTitle(title);
    ui.Label2->setText(name);
    showLock();
}

void TForm4::BitBtn1Click() {
    SORVANE_ASSERT_UI_THREAD();
    // The line goes to the address the directory gave within the last minute, as the checks of
    // received lines reuse the addresses they confirmed; where it answers no more, the send asks
    // the directory again. Without one the lookup stays here, so that a directory that cannot
    // be reached is reported as for any request, with the input kept; after Enter that lookup
    // was asked for as the key was pressed. What may take seconds, the connect and the send,
    // goes to the outbox.
    using sorvane::engine::Outbox;
    const QString partner = ui.Label2->text();
    std::optional<Outbox::Address> address = Form3->engine().addresses().fresh(partner);
    // The send checks that a head start fits the address the line goes to.
    std::unique_ptr<Outbox::Ready> ready = std::move(ready_);
    std::optional<sorvane::engine::LookAhead::Answer> asked;
    try {
        asked = lookAhead_.take(partner.toStdString());
    } catch (...) {
        if (!address)
            throw; // reported as the lookup's own failure
    }
    if (!address) {
        const sorvane::LineList reply =
            asked ? std::move(asked->reply) : context_.directory.sendLookup(partner.toStdString());
        if (asked)
            ready = std::move(asked->ready);
        address = Outbox::addressOf(reply);
        sorvane::net::PortTextToNumber(address->port); // a port text that is no number is an error
    }

    // The line gets its id and time now: a line that waits keeps them, so that the partner
    // shows it once however often it is sent.
    const QString own = Form1->ui.Edit1->text();
    const QString line = peerLine(own, ui.Memo1->toPlainText());
    Outbox::Line out{line.toStdString(), line.mid(own.size() + 3).toStdString(),
                     sorvane::engine::sealing::newMessageId(),
                     static_cast<long long>(std::time(nullptr))};
    // The head start was made for this very text at Enter: the line keeps the id and time it
    // was sealed with.
    if (ready && ready->line.plain == out.plain)
        out = ready->line;
    else
        ready.reset();
    const Outbox::From from{own.toStdString(), Form3->engine().trust().identity(), {}};
    if (Outbox::wireLength(partner.toStdString(), out, *address, from) >
        sorvane::net::TTcpServer::DefaultConnectionMaxLineLength) {
        context_.boxes.showMessage(tooLongMessage());
        return;
    }
    // The send starts before the line is drawn, so that the network's part overlaps the
    // drawing; what the engine says meanwhile (a new key, a line held back) comes after the line.
    QStringList said;
    deferred_ = &said;
    try {
        Form3->engine().outgoing().send(partner, out, std::move(address), std::move(ready));
    } catch (...) {
        deferred_ = nullptr;
        throw;
    }
    deferred_ = nullptr;
    appendHistory(line);
    for (const QString& s : said)
        appendHistory(s);
    // The text is safe in the queue from here on: a second Enter must not send it again.
    ui.Memo1->clear();
}

void TForm4::BitBtn2Click() {
    close();
}

bool TForm4::formCloseQuery() {
    const int waiting = undeliveredLines();
    if (waiting == 0 || !isOpenFor(ui.Label2->text()))
        return true;
    if (!context_.boxes.askYesNo(
            discardQuestion(waiting, ui.Label2->text(), QStringLiteral("the window"))))
        return false;
    Form3->engine().outgoing().discard(ui.Label2->text());
    return true;
}

void TForm4::formClose() {
    const QString partner = ui.Label2->text();
    OpenChats.removeAll(partner);
    if (ChatWindows.value(partner) == this)
        ChatWindows.remove(partner);
}
