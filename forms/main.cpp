#include "main.h"

#include "globals.h"
#include "login.h"
#include "message.h"
#include "setaside.h"
#include "windows.h"

#include "engine/thread.h"
#include "ui/artwork.h"
#include "ui/desktop.h"
#include "ui/messages.h"
#include "ui/notifier.h"
#include "ui/screen.h"
#include "ui/timer.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <utility>

QStringList OpenChats;
QHash<QString, QPointer<TForm4>> ChatWindows;
sorvane::engine::InboundText InboundLines;

namespace {

constexpr int kPresenceWaitMs = 60000;

QString selectedText(const QListWidget* list) {
    const QList<QListWidgetItem*> items = list->selectedItems();
    return items.isEmpty() ? QString() : items.first()->text();
}

QListWidgetItem* entryNamed(const QListWidget* list, const QString& name) {
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text() == name)
            return list->item(i);
    return nullptr;
}

QStringList names(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

} // namespace

TForm3::TForm3(Context& context, QWidget* parent)
    : Form(context.boxes, parent), context_(context),
      engine_(new sorvane::engine::Engine(
          context.directory,
          {[this](const QString& name) { return isFriend(name); },
           [](const QString& name) { return openChatWindow(name) != nullptr; }},
          this)),
      earlyOpener_(engine_->trust().early()), setAsideOffer_(new QTimer(this)) {
    ui.setupUi(this);
    setFixedSize(size());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(sorvane::ui::artwork::programIcon());
    ui.SpeedButton1->setIcon(QIcon(sorvane::ui::artwork::personAdd()));
    ui.SendMessage1->setIcon(QIcon(sorvane::ui::artwork::personArrow()));
    ui.ViewInformation1->setIcon(QIcon(sorvane::ui::artwork::personPencil()));
    ui.ViewInformation2->setIcon(QIcon(sorvane::ui::artwork::personPencil()));
    ui.Delete1->setIcon(QIcon(sorvane::ui::artwork::personCross()));
    ui.Delete2->setIcon(QIcon(sorvane::ui::artwork::personCross()));
    settleButtons();
    setFirstControl(ui.Edit1);

    Timer1 = new sorvane::ui::Timer(context.boxes, 1, false, this);
    Timer1->onTimer = [this] { Timer1Timer(); };
    Timer2 = new sorvane::ui::Timer(context.boxes, 1, false, this);
    Timer2->onTimer = [this] { Timer2Timer(); };
    using sorvane::engine::Arrival;
    using sorvane::engine::Arrivals;
    using sorvane::engine::PresenceRun;
    connect(engine_, &sorvane::engine::Engine::logInAgain, this, [this] {
        // The mailbox or a deposit was refused until the user logs in again.
        handle([] {
            if (Form1 && !Form1->isVisible())
                Form1->logInAgain();
        });
    });
    connect(&presence(), &PresenceRun::passDone, this, &TForm3::applyPresencePass);
    connect(&presence(), &PresenceRun::runDone, this, &TForm3::presenceRunDone);
    connect(&arrivals(), &Arrivals::arrived, this,
            [this](const Arrival& arrival) { handle([&] { showArrival(arrival); }); });
    setAsideOffer_->setSingleShot(true);
    setAsideOffer_->setInterval(1000);
    connect(&arrivals(), &Arrivals::setAsideChanged, this, [this] {
        if (!setAsideOffer_->isActive())
            setAsideOffer_->start();
    });
    connect(setAsideOffer_, &QTimer::timeout, this, [this] {
        if (arrivals().setAsideCount() > 0)
            context_.notifier.notify(
                QStringLiteral("set-aside"), QApplication::applicationName(),
                setAsideOffer(arrivals().setAsideCount(), arrivals().setAsidePeople()),
                [this] { showSetAside(); });
    });

    TcpClient1.setRemotePort("1000");
    TcpServer1.setLocalPort("1000");
    TcpServer1.OnAccept = [this](sorvane::net::TCustomTcpServer& sender,
                                 sorvane::net::TCustomIpClient& client) {
        TcpServer1Accept(sender, client);
    };

    PopupMenu1 = new QMenu(this);
    PopupMenu1->addAction(ui.SendMessage1);
    PopupMenu1->addAction(ui.ViewInformation1);
    PopupMenu1->addSeparator(); // N2
    PopupMenu1->addAction(ui.Delete1);
    PopupMenu1->setDefaultAction(ui.SendMessage1);
    PopupMenu3 = new QMenu(this);
    PopupMenu3->addAction(ui.ViewInformation2);
    PopupMenu3->addSeparator(); // N3
    PopupMenu3->addAction(ui.Delete2);
    // The tray menu has no parent window: a child of this window would be disabled with it
    // until someone logs in, and "Close" must end the program before that too. Freed with
    // this window.
    PopupMenu2 = new QMenu;
    PopupMenu2->addAction(ui.ShowSorvaneMessenger1);
    PopupMenu2->addSeparator(); // N1
    PopupMenu2->addAction(ui.Close1);
    PopupMenu2->setDefaultAction(ui.ShowSorvaneMessenger1);

    TrayIcon1 = new QSystemTrayIcon(sorvane::ui::artwork::programIcon(), this);
    TrayIcon1->setToolTip(QApplication::applicationName());
    TrayIcon1->setContextMenu(PopupMenu2);
    TrayIcon1->show();
    // Without a notification service, notifications become the tray icon's message.
    context_.notifier.setFallback(
        [this](const QString& summary, const QString& body, std::function<void()> chosen) {
            if (!context_.desktop.hasTray())
                return;
            trayMessageChosen_ = std::move(chosen);
            TrayIcon1->showMessage(summary, body, sorvane::ui::artwork::programIcon());
        });
    connect(TrayIcon1, &QSystemTrayIcon::messageClicked, this, [this] {
        if (trayMessageChosen_)
            handle([this] { std::exchange(trayMessageChosen_, nullptr)(); });
    });

    const auto on = [this](auto handler) {
        return [this, handler] { handle([=, this] { (this->*handler)(); }); };
    };
    connect(ui.SpeedButton1, &QToolButton::clicked, this, on(&TForm3::SpeedButton1Click));
    connect(ui.BitBtn1, &QPushButton::clicked, this, on(&TForm3::BitBtn1Click));
    connect(ui.BitBtn2, &QPushButton::clicked, this, on(&TForm3::BitBtn2Click));
    connect(ui.BitBtn3, &QPushButton::clicked, this, on(&TForm3::BitBtn3Click));
    connect(ui.SendMessage1, &QAction::triggered, this, on(&TForm3::SendMessage1Click));
    connect(ui.ViewInformation1, &QAction::triggered, this, on(&TForm3::ViewInformation1Click));
    connect(ui.ViewInformation2, &QAction::triggered, this, on(&TForm3::ViewInformation2Click));
    connect(ui.Delete1, &QAction::triggered, this, on(&TForm3::Delete1Click));
    connect(ui.Delete2, &QAction::triggered, this, on(&TForm3::Delete2Click));
    connect(ui.ShowSorvaneMessenger1, &QAction::triggered, this,
            on(&TForm3::ShowSorvaneMessenger1Click));
    connect(ui.Close1, &QAction::triggered, this, on(&TForm3::Close1Click));
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    handle([this] { TrayIcon1Click(); });
            });
    connect(ui.ListBox1, &QWidget::customContextMenuRequested, this, [this] {
        handle([this] { PopupMenu1Popup(); });
        PopupMenu1->popup(QCursor::pos());
    });
    connect(ui.ListBox2, &QWidget::customContextMenuRequested, this, [this] {
        handle([this] { PopupMenu3Popup(); });
        PopupMenu3->popup(QCursor::pos());
    });
    ui.Edit1->installEventFilter(this);
    // A right click opens the menu for the entry selected before; it does not select.
    ui.ListBox1->viewport()->installEventFilter(this);
    ui.ListBox2->viewport()->installEventFilter(this);

    FormCreate();
}

TForm3::~TForm3() {
    // A run, a check or a send still out ends here, without waiting for its requests or
    // connects.
    delete engine_;
    context_.notifier.setFallback(nullptr);
    // The listener's threads call back into this window; they must be gone first.
    TcpServer1.setActive(false);
    TcpServer1.OnAccept = nullptr;
    delete TrayIcon1; // the icon leaves the notification area before its menu goes
    delete PopupMenu2;
}

bool TForm3::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui.Edit1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            handle([&] { Edit1KeyDown(13); });
            return true;
        }
    }
    if ((watched == ui.ListBox1->viewport() || watched == ui.ListBox2->viewport()) &&
        (event->type() == QEvent::MouseButtonPress ||
         event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton)
        return true;
    return Form::eventFilter(watched, event);
}

QPoint TForm3::placement(QSize display, QSize outer) {
    // Integer division truncates toward zero, as a negative difference needs.
    return {display.width() - outer.width(), (display.height() - outer.height()) / 2};
}

void TForm3::FormCreate() {
    InboundLines.clear();
    // The frame is not known before the window manager has framed the window; a common
    // frame (thin borders, a title bar) stands in for it.
    const QSize outer = size() + QSize(2 * 3, 3 + 23);
    move(placement(context_.screen.size(), outer));
    OpenChats.clear();
}

void TForm3::formShow() {
    const bool handOver = Form1 && Form1->ui.Edit1->text().isEmpty();
    // While nobody is logged in this window only stands by: it comes up without taking the
    // keyboard, and the login window is brought to the front once this one is there, so that
    // what the user types goes into the e-mail box.
    setAttribute(Qt::WA_ShowWithoutActivating, handOver);
    if (handOver) {
        setEnabled(false);
        TForm1* const login = Form1;
        login->show();
        QTimer::singleShot(0, login, [login] {
            login->raise();
            login->activateWindow();
        });
    }
}

bool TForm3::formCloseQuery() {
    // Where the desktop has no notification area, a hidden window could never come back, so
    // closing it ends the program as the tray menu's "Close" would.
    if (!context_.desktop.hasTray()) {
        Close1Click();
        return false;
    }
    hide();
    return false;
}

void TForm3::Edit1KeyDown(int key) {
    if (key == 13)
        ui.SpeedButton1->click();
}

void TForm3::SpeedButton1Click() {
    addFriend(ui.Edit1->text());
}

void TForm3::addFriend(const QString& name) {
    SORVANE_ASSERT_UI_THREAD();
    if (entryNamed(ui.ListBox1, name) || entryNamed(ui.ListBox2, name)) {
        context_.boxes.showMessage(QStringLiteral("User is already your friend!"));
        return;
    }
    const sorvane::LineList reply =
        context_.directory.addFriend(Form1->ui.Edit1->text().toStdString(), name.toStdString());
    if (reply[0] == "OK") {
        ui.ListBox2->addItem(name);
        Timer2->setInterval(1);
        Timer2->setEnabled(true);
    } else if (sorvane::directory::needsNewLogin(reply)) {
        Form1->logInAgain();
    } else {
        context_.boxes.showMessage(QStringLiteral("No such user!"));
    }
}

void TForm3::deleteSelected(QListWidget* list) {
    SORVANE_ASSERT_UI_THREAD();
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty())
        return;
    const QString name = selected.first()->text();
    delete list->takeItem(list->row(selected.first()));
    sorvane::ui::processMessages();

    // Until the directory confirms, the friend is not gone: on a refusal or a failed request
    // the entry comes back, at the end of the list it was taken from.
    const auto restore = [&] {
        if (!entryNamed(ui.ListBox1, name) && !entryNamed(ui.ListBox2, name))
            list->addItem(name);
    };
    try {
        const sorvane::LineList reply = context_.directory.deleteFriend(
            Form1->ui.Edit1->text().toStdString(), name.toStdString());
        if (reply[0] != "OK") {
            restore();
            if (sorvane::directory::needsNewLogin(reply))
                Form1->logInAgain();
            else
                context_.boxes.showMessage(QStringLiteral("Error!"));
        }
    } catch (...) {
        restore();
        throw;
    }
}

void TForm3::Delete1Click() {
    deleteSelected(ui.ListBox1);
}

void TForm3::Delete2Click() {
    deleteSelected(ui.ListBox2);
}

void TForm3::PopupMenu1Popup() {
    const bool any = !ui.ListBox1->selectedItems().isEmpty();
    ui.SendMessage1->setEnabled(any);
    ui.Delete1->setEnabled(any);
}

void TForm3::PopupMenu3Popup() {
    ui.Delete2->setEnabled(!ui.ListBox2->selectedItems().isEmpty());
}

void TForm3::viewSelected(QListWidget* list) {
    if (list->selectedItems().isEmpty())
        return; // nobody to show
    openViewInformation(context_, selectedText(list));
}

void TForm3::ViewInformation1Click() {
    viewSelected(ui.ListBox1);
}

void TForm3::ViewInformation2Click() {
    viewSelected(ui.ListBox2);
}

void TForm3::BitBtn1Click() {
    openSearchWindow(context_);
}

void TForm3::BitBtn2Click() {
    openAboutWindow(context_);
}

void TForm3::BitBtn3Click() {
    openEditInfoWindow(context_);
}

void TForm3::TrayIcon1Click() {
    ui.ShowSorvaneMessenger1->trigger();
}

void TForm3::ShowSorvaneMessenger1Click() {
    show();
    raise();
    activateWindow();
}

void TForm3::Close1Click() {
    // Lines that wait for their partners live only as long as the program does.
    int waiting = 0;
    QStringList partners;
    for (const auto& [partner, lines] : engine_->outgoing().undelivered()) {
        waiting += lines;
        partners << partner;
    }
    if (waiting > 0) {
        const QString to = partners.size() == 1 ? partners.front()
                                                : QStringLiteral("%1 people").arg(partners.size());
        if (!context_.boxes.askYesNo(
                TForm4::discardQuestion(waiting, to, QStringLiteral("the program"))))
            return;
    }
    TcpServer1.setActive(false);
    context_.desktop.endProgram();
}

// ---- presence -------------------------------------------------------------------------------

void TForm3::Timer2Timer() {
    SORVANE_ASSERT_UI_THREAD();
    Timer2->setEnabled(false);
    // Runs never overlap: one asked for while a run is out follows it (presenceRunDone).
    using sorvane::engine::PresencePass;
    const bool started = presence().start([this](PresencePass pass) {
        return names(pass == PresencePass::OfflineToOnline ? ui.ListBox2 : ui.ListBox1);
    });
    if (!started)
        presenceAskedAgain_ = true;
}

// The lists may have changed while the pass was out; its result is applied by these rules:
// - A friend deleted meanwhile stays deleted: moves go by name, to whoever is still in the
//   walked list, and a name that is no longer there is passed over.
// - A friend added meanwhile is in the offline list already; it was not in the pass, so its
//   adding asked for a run of its own, which starts 1 ms after this one ends.
// - A login meanwhile changes nothing here: a name is the same friend whoever asked about it,
//   so its result stands, and the login's own run follows this one 1 ms after it ends.
// - Closing the program ends the run where it is (PresenceRun's destructor): no result comes
//   after the window is gone.
// Each pass changes each list once: all its moves are made here, in probe order, at the end
// of the other list.
void TForm3::applyPresencePass(sorvane::engine::PresencePass pass,
                               const std::vector<sorvane::engine::FriendPresence>& probed) {
    SORVANE_ASSERT_UI_THREAD();
    using sorvane::engine::PresencePass;
    QListWidget* walked = pass == PresencePass::OfflineToOnline ? ui.ListBox2 : ui.ListBox1;
    QListWidget* other = walked == ui.ListBox2 ? ui.ListBox1 : ui.ListBox2;
    for (const QString& name : presenceMoves(pass, probed))
        if (QListWidgetItem* item = entryNamed(walked, name))
            other->addItem(walked->takeItem(walked->row(item)));
    // A friend online only through the directory's mailbox says so where the user points.
    for (const sorvane::engine::FriendPresence& f : probed)
        for (QListWidget* list : {ui.ListBox1, ui.ListBox2})
            if (QListWidgetItem* item = entryNamed(list, f.name))
                item->setToolTip(list == ui.ListBox1 && !f.reachable && f.throughDirectory
                                     ? QStringLiteral("Reachable through the directory")
                                     : QString());
}

void TForm3::presenceRunDone() {
    // The engine has handed the lines that waited to the friends found reachable. Every run ends
    // here, whatever its lookups met, so the next one is always due: a minute after this one ended,
    // or 1 ms after it when an adding or a login asked for a run meanwhile (Timer2 fired during the
    // run, or is armed and has not fired yet).
    const bool askedAgain = std::exchange(presenceAskedAgain_, false) || Timer2->enabled();
    Timer2->setInterval(askedAgain ? 1 : kPresenceWaitMs);
    Timer2->setEnabled(true);
}

// ---- receiving ------------------------------------------------------------------------------

void TForm3::TcpServer1Accept(sorvane::net::TCustomTcpServer&,
                              sorvane::net::TCustomIpClient& clientSocket) {
    // Runs on a connection thread: read the one line, queue it with the address it came from,
    // wake the dispatch.
    auto early = std::make_shared<sorvane::engine::EarlyOpener::Slot>();
    sorvane::engine::ReceivedLine line{clientSocket.ReceiveLine("\r\n"), clientSocket.remoteHost(),
                                       early};
    const std::string text = line.text;
    if (InboundLines.append(std::move(line)))
        sorvane::engine::queueOn(this, [this] { Timer1->setEnabled(true); });
    // Opened here, while the dispatch waits for its timer.
    earlyOpener_->fill(*early, text);
}

QString TForm3::GetPartOfLine1(const QString& line, const QString& start, const QString& end) {
    const qsizetype a = line.indexOf(start) + 1; // 1-based, 0 when absent
    const QString rest = line.mid(a);
    const qsizetype b = rest.indexOf(end) + 1;
    if (b == 0)
        return {};
    return line.mid(a == 0 ? 0 : a - 1, b);
}

TForm4* TForm3::openChatWindow(const QString& partner) {
    return OpenChats.contains(partner) ? ChatWindows.value(partner).data() : nullptr;
}

TForm4* TForm3::openChat(const QString& partner, bool activate) {
    OpenChats.append(partner);
    auto* window = new TForm4(context_);
    ChatWindows.insert(partner, window);
    if (activate)
        window->showModeless();
    else
        window->show();
    window->setPartner(partner);
    if (engine_->trust().takeNotice(partner))
        window->appendHistory(sorvane::engine::Trust::newKeyNote(partner));
    return window;
}

void TForm3::Timer1Timer() {
    SORVANE_ASSERT_UI_THREAD();
    Timer1->setEnabled(false);
    // Each line on its own, to its own sender's window once its sender has been checked.
    for (const sorvane::engine::ReceivedLine& line : InboundLines.takeAll())
        dispatchLine(line);
}

std::optional<QString> TForm3::senderOfLine(const QString& line) {
    const bool blank =
        std::all_of(line.begin(), line.end(), [](QChar c) { return c.unicode() <= 32; });
    if (blank)
        return std::nullopt; // a presence probe, or a peer that closed without a line
    // Text from the network never opens a box: a line without the "<" ... ">" header is filed
    // under whatever sender the extraction gives.
    return GetPartOfLine1(line, "<", ">").mid(1);
}

QString TForm3::textOfLine(const QString& line) {
    const QString header = GetPartOfLine1(line, "<", ">");
    if (header.isEmpty() || !header.startsWith('<'))
        return line;
    QString text = line.mid(line.indexOf(header) + header.size() + 1);
    if (text.startsWith(' '))
        text.remove(0, 1);
    return text;
}

QString TForm3::setAsideOffer(long long lines, int people) {
    const QString what =
        lines == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(lines);
    const QString who = people == 1
                            ? QStringLiteral("1 person who is not your friend")
                            : QStringLiteral("%1 people who are not your friends").arg(people);
    return QStringLiteral("%1 from %2 %3 set aside")
        .arg(what, who, lines == 1 ? QStringLiteral("was") : QStringLiteral("were"));
}

bool TForm3::isFriend(const QString& name) const {
    return entryNamed(ui.ListBox1, name) || entryNamed(ui.ListBox2, name);
}

void TForm3::dispatchLine(const sorvane::engine::ReceivedLine& received) {
    const QString line = QString::fromStdString(received.text);
    if (const std::optional<QString> sender = senderOfLine(line))
        arrivals().receive(*sender, line, received.from, {},
                           received.early ? received.early->get() : nullptr);
}

void TForm3::showArrival(const sorvane::engine::Arrival& arrival) {
    SORVANE_ASSERT_UI_THREAD();
    TForm4* window = openChatWindow(arrival.sender);
    if (!window)
        window = openChat(arrival.sender, false); // neither raised nor activated
    window->appendHistory(arrival.line);
    if (!arrival.note.isEmpty())
        window->appendHistory(arrival.note);
    if (!window->isActiveWindow())
        notifyArrival(window, arrival);
    // The partner is there: what waited for them goes out now.
    engine_->outgoing().sendWaiting(arrival.sender);
}

void TForm3::notifyArrival(TForm4* window, const sorvane::engine::Arrival& arrival) {
    context_.desktop.callForAttention(window);
    QString body = textOfLine(arrival.line);
    if (!arrival.note.isEmpty())
        body += '\n' + arrival.note;
    context_.notifier.notify(QStringLiteral("line:") + arrival.sender, arrival.sender, body,
                             [sender = arrival.sender] {
                                 // The window open for the sender then, if any.
                                 if (TForm4* open = openChatWindow(sender)) {
                                     open->show();
                                     open->raise();
                                     open->activateWindow();
                                 }
                             });
}

void TForm3::showSetAside() {
    SORVANE_ASSERT_UI_THREAD();
    auto* box = new TSetAsideBox(context_);
    box->showLines(arrivals().takeSetAside());
    box->showModeless();
}

void TForm3::SendMessage1Click() {
    SORVANE_ASSERT_UI_THREAD();
    if (ui.ListBox1->selectedItems().isEmpty())
        return;
    const QString name = selectedText(ui.ListBox1);
    if (OpenChats.contains(name))
        return;
    openChat(name, true);
}
