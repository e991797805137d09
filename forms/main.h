#pragma once
// The main window: the online and offline friend lists, adding and deleting friends, the tray
// icon, the presence run, and the dispatch of received lines to conversation windows.
#include "context.h"
#include "ui/form.h"
#include "ui_main.h"

#include "directory/directory.h"
#include "engine/engine.h"
#include "engine/inbound.h"
#include "net/sockets.h"

#include <QHash>
#include <QPoint>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QListWidget;
class QMenu;
class QSystemTrayIcon;
class QTimer;
namespace sorvane::ui {
class Timer;
}

class TForm4;

// The partner names of the open conversation windows, one per window.
extern QStringList OpenChats;
// The open conversation window of each partner in OpenChats.
extern QHash<QString, QPointer<TForm4>> ChatWindows;
// Lines received but not yet shown.
extern sorvane::engine::InboundText InboundLines;

class TForm3 : public sorvane::ui::Form {
    Q_OBJECT
public:
    explicit TForm3(Context& context, QWidget* parent = nullptr);
    ~TForm3() override;

    Ui::TForm3 ui;
    sorvane::ui::Timer* Timer1; // wakes the dispatch of received lines, 1 ms
    sorvane::ui::Timer* Timer2; // the presence run
    sorvane::net::TTcpClient TcpClient1;
    sorvane::net::TTcpServer TcpServer1;
    QSystemTrayIcon* TrayIcon1;
    QMenu* PopupMenu1;
    QMenu* PopupMenu2;
    QMenu* PopupMenu3;

    // Where the window goes: right edge on the display's right edge, vertically centred.
    static QPoint placement(QSize display, QSize outer);
    // The part of `line` from the first `start` marker up to, not including, the next `end`
    // marker after it; empty when either is missing.
    static QString GetPartOfLine1(const QString& line, const QString& start, const QString& end);
    // The dispatch's reading of a received line: the sender's name, or nothing for a line that
    // is empty once blanks and control characters are disregarded (a probe, an early close).
    static std::optional<QString> senderOfLine(const QString& line);
    // What a received line says after its "<" sender ">" header (and the blank after it); the
    // whole line when it has no header.
    static QString textOfLine(const QString& line);
    // The message that offers the set-aside lines.
    static QString setAsideOffer(long long lines, int people);
    // The conversation window open for `partner`, or null.
    static TForm4* openChatWindow(const QString& partner);
    // Opens a new conversation window with `partner`, who has none open; `activate` raises it
    // and gives it the keyboard.
    TForm4* openChat(const QString& partner, bool activate);

    void FormCreate();
    void Edit1KeyDown(int key);
    void SpeedButton1Click();
    void Delete1Click();
    void Delete2Click();
    void PopupMenu1Popup();
    void PopupMenu3Popup();
    void ViewInformation1Click();
    void ViewInformation2Click();
    void SendMessage1Click();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void TrayIcon1Click();
    void ShowSorvaneMessenger1Click();
    void Close1Click();
    void Timer1Timer();
    void Timer2Timer();
    void TcpServer1Accept(sorvane::net::TCustomTcpServer& sender,
                          sorvane::net::TCustomIpClient& clientSocket);

    // Adds `name` as a friend unless it is in either list; shared with the search window.
    void addFriend(const QString& name);
    // Whether `name` is in either friend list.
    bool isFriend(const QString& name) const;

    // What goes on without a window: presence, lines in and out.
    sorvane::engine::Engine& engine() { return *engine_; }
    // The presence run's worker: its results per friend, and whether a run is out.
    sorvane::engine::PresenceRun& presence() { return engine_->presence(); }
    // Where sends go to be carried out away from the user-interface thread.
    sorvane::engine::Outbox& outbox() { return engine_->outbox(); }
    // Received lines on their way to the windows: checks, order, floods.
    sorvane::engine::Arrivals& arrivals() { return engine_->arrivals(); }

    // Opens the one place that shows the lines set aside so far, taking them.
    void showSetAside();

protected:
    void formShow() override;
    bool formCloseQuery() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void deleteSelected(QListWidget* list);
    void viewSelected(QListWidget* list);
    void applyPresencePass(sorvane::engine::PresencePass pass,
                           const std::vector<sorvane::engine::FriendPresence>& probed);
    void presenceRunDone();
    void dispatchLine(const sorvane::engine::ReceivedLine& line);
    void showArrival(const sorvane::engine::Arrival& arrival);
    void notifyArrival(TForm4* window, const sorvane::engine::Arrival& arrival);

    Context& context_;
    sorvane::engine::Engine* engine_;
    // The connection threads open sealed lines with it; it stays until they are gone.
    std::shared_ptr<sorvane::engine::EarlyOpener> earlyOpener_;
    bool presenceAskedAgain_ = false; // Timer2 fired while a run was out
    // Says how many lines were set aside, at most once a second while a flood goes on.
    QTimer* setAsideOffer_;
    // What choosing the tray icon's message does: the last one shown.
    std::function<void()> trayMessageChosen_;
};
