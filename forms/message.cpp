#include "message.h"

#include "globals.h"
#include "login.h"
#include "main.h"

#include "directory/directory.h"
#include "ui/artwork.h"
#include "ui/thread.h"
#include "ui/timer.h"

#include <QKeyEvent>
#include <QStyle>
#include <QTextCursor>
#include <QTextOption>

TForm4::TForm4(Context& context, QWidget* parent) : Form(context.boxes, parent), context_(context) {
    ui.setupUi(this);
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
}

bool TForm4::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui.Memo1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            handle([this] { Memo1KeyDown(13); });
            // The input gets its line break at the caret whatever Shift, Ctrl or Alt is held.
            // Put in here rather than by the editor, which passes Ctrl+Enter and Alt+Enter on
            // to the window: its Enter would press OK at once, and the timer press it again.
            QTextCursor cursor = ui.Memo1->textCursor();
            cursor.insertText(QStringLiteral("\n"));
            ui.Memo1->setTextCursor(cursor);
            ui.Memo1->ensureCursorVisible();
            return true;
        }
    }
    return Form::eventFilter(watched, event);
}

void TForm4::appendHistory(const QString& line) {
    // Beyond a few thousand characters the layout cost of an unbroken run becomes noticeable.
    constexpr qsizetype kLongestWrappedRun = 2000;
    if (ui.Memo2->wordWrapMode() != QTextOption::WrapAnywhere) {
        qsizetype run = 0;
        for (const QChar c : line) {
            run = c.isSpace() ? 0 : run + 1;
            if (run > kLongestWrappedRun) {
                ui.Memo2->setWordWrapMode(QTextOption::WrapAnywhere);
                break;
            }
        }
    }
    ui.Memo2->appendPlainText(line);
}

void TForm4::Memo1KeyDown(int key) {
    if (key == 13)
        Timer1->setEnabled(true);
}

void TForm4::Timer1Timer() {
    Timer1->setEnabled(false);
    enterBreakAt_ = ui.Memo1->textCursor().position() - 1;
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

QString TForm4::notDeliveredNote(const QString& partner) {
    return QStringLiteral("(not delivered: %1 cannot be reached; press Enter to try again)")
        .arg(partner);
}

void TForm4::BitBtn1Click() {
    SORVANE_ASSERT_UI_THREAD();
    const int enterBreakAt = std::exchange(enterBreakAt_, -1);
    const QString partner = ui.Label2->text();
    const sorvane::LineList reply = context_.directory.sendLookup(partner.toStdString());
    sorvane::net::TTcpClient& client = Form3->TcpClient1;
    client.setRemoteHost(reply[0]);
    client.setRemotePort(reply[1]);
    client.setActive(false);
    client.setActive(true);

    const QString line = peerLine(Form1->ui.Edit1->text(), ui.Memo1->toPlainText());
    const std::string bytes = line.toStdString();
    const bool delivered =
        client.connected() && client.SendLine(bytes, "\r\n") == static_cast<int>(bytes.size() + 2);
    appendHistory(line);
    if (delivered) {
        ui.Memo1->clear();
        return;
    }
    // Nothing typed is lost: the text stays for another Enter, less the break Enter added.
    appendHistory(notDeliveredNote(partner));
    const QString input = ui.Memo1->toPlainText();
    if (enterBreakAt >= 0 && enterBreakAt < input.size() && input.at(enterBreakAt) == '\n') {
        QTextCursor cursor(ui.Memo1->document());
        cursor.setPosition(enterBreakAt);
        cursor.deleteChar();
        ui.Memo1->setTextCursor(cursor);
    }
}

void TForm4::BitBtn2Click() {
    close();
}

void TForm4::formClose() {
    OpenChats.removeAll(ui.Label2->text());
}
