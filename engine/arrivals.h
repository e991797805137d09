#pragma once
// Received lines on their way to the windows.
// - A sealed line is opened and its signature checked against the sender's key (Trust); one
//   that verifies needs nothing else, one that does not is still shown, with a note after it, and
//   one shown before is not shown again.
// - A plain line's sender is checked (SenderLookups): a line that did not come from where its
//   sender is registered is still shown, with a note after it; so is a plain line from someone
//   whose messenger seals its lines.
// - What waits for a check is bounded: beyond the bound, lines of people who are in neither
//   friend list are set aside unchecked, with a note; friends' lines still wait.
// - Lines of one sender keep their arrival order whatever the checks take.
// - Lines of people who are in neither friend list open at most a few new conversation windows a
//   minute; the rest are set aside and counted, for the user to look at in one place. Friends'
//   lines are never set aside.
// - Lines that are ready go out a few at a time, the senders taking turns, so that one sender's
//   flood holds back neither anybody else's lines nor the windows' own events.
//
// User-interface thread only; the lookups run on SenderLookups' worker.
#include "engine/presence.h"
#include "engine/sender_check.h"
#include "engine/trust.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

class QTimer;

namespace sorvane::directory {
class Directory;
}

namespace sorvane::engine {

enum class Destination { Conversation, SetAside };

struct Arrival {
    QString sender;
    QString line;
    QString note; // shown after the line when its sender did not check out; else empty
    Destination destination = Destination::Conversation;
};

// The lines set aside since the user last looked at them.
struct SetAsideLines {
    std::deque<Arrival> lines; // the most recent ones, oldest first
    long long dropped = 0;     // older ones that were let go to keep memory bounded
};

class Arrivals : public QObject {
    Q_OBJECT
public:
    static constexpr int NewWindowsPerMinute = 10;
    // How long a friend's address found by a presence run, or a sender's address a lookup
    // confirmed, stands in for a lookup.
    static constexpr std::chrono::seconds PresenceAddressLife{60};
    // Confirmed addresses kept at most; expired ones go first.
    static constexpr std::size_t MaxKnownAddresses = 1024;
    // The longest one turn of handing out ready lines runs before the windows get their events.
    static constexpr std::chrono::milliseconds TurnBudget{20};
    // Set-aside lines kept, as a window's history keeps its lines.
    static constexpr std::size_t MaxSetAsideLines = 5000;
    static constexpr qsizetype MaxSetAsideCharacters = qsizetype{4} << 20;
    // Lines that may wait for their sender's check at once, and their bytes.
    static constexpr std::size_t MaxUncheckedLines = 10000;
    static constexpr std::size_t MaxUncheckedBytes = std::size_t{64} << 20;

    // What the dispatch needs to know about the main window's state.
    struct Windows {
        std::function<bool(const QString& name)> isFriend;
        std::function<bool(const QString& name)> hasConversation;
    };

    Arrivals(const sorvane::directory::Directory& directory, Trust& trust, Windows windows,
             QObject* parent = nullptr);

    // A received line naming `sender`, whose connection came from `from` (dotted IPv4), or that
    // came from the directory's mailbox as the line with `mailboxId` (`from` empty). `early`:
    // what the connection thread opened of it.
    void receive(const QString& sender, const QString& line, const std::string& from,
                 const std::string& mailboxId = {}, const EarlyOpener::Opened* early = nullptr);
    // The note of a stranger's line set aside unchecked because too many lines wait for checks.
    static QString uncheckedNote();
    // What the last presence run found: the friends' addresses, good for PresenceAddressLife.
    void rememberPresence(const std::vector<FriendPresence>& probed);

    // Set-aside lines not yet taken (dropped ones included), and from how many people.
    long long setAsideCount() const;
    int setAsidePeople() const { return static_cast<int>(setAsideSenders_.size()); }
    // Takes the set-aside lines; the count starts again from nothing.
    SetAsideLines takeSetAside();

    SenderLookups& lookups() { return lookups_; }

signals:
    // A line for a conversation window, checked, in its sender's order.
    void arrived(const Arrival& arrival);
    // Lines were set aside.
    void setAsideChanged();
    // The mailbox's line with `id` has been checked (and, verified, recorded as seen).
    void handedOn(const std::string& id);
    // A line naming `sender` came over a connection of its own.
    void heardDirectly(const QString& sender);

private:
    using Clock = std::chrono::steady_clock;
    struct Waiting {
        QString line;
        std::string from;
        Destination destination;
        bool checked = false;
        QString note = {};
        std::optional<std::string> signedMessage = {}; // a sealed line, opened, not yet judged
        bool replay = false;                           // a sealed line shown before: dropped
        std::string mailboxId = {}; // from the mailbox: acknowledged once checked
        std::size_t counted = 0;    // its bytes, while it counts among those waiting for a check
    };
    struct Sender {
        std::deque<Waiting> lines;
        bool inTurn = false;
    };

    Destination destinationOf(const QString& sender);
    bool checkedByPresence(const QString& sender, const std::string& from) const;
    void rememberConfirmed(const QString& sender, const std::string& from);
    void answered(const QString& sender, const SenderAddress& address);
    // Judges an opened sealed line against the sender's pinned key; false when that key is
    // missing or fails, so that the directory must be asked.
    bool judgeByPin(const QString& sender, Waiting& line,
                    const EarlyOpener::Opened* early = nullptr);
    void judge(const QString& sender, Waiting& line, const std::optional<sealing::PublicKey>& key,
               bool directoryDown);
    void check(Waiting& line, QString note);
    void takeTurnIfReady(const QString& sender);
    void handOut();
    void setAside(Arrival arrival);

    SenderLookups lookups_;
    Trust& trust_;
    Windows windows_;
    QTimer* turn_;
    std::map<QString, Sender> senders_; // senders with lines not yet handed out
    std::deque<QString> turns_;         // senders whose oldest line is ready, in turn
    struct Known {
        std::string host;
        Clock::time_point at;
    };
    std::map<QString, Known> presence_;
    std::deque<Clock::time_point> windowsOpened_; // for people who are not friends, last minute
    SetAsideLines setAside_;
    qsizetype setAsideCharacters_ = 0;
    std::unordered_set<std::size_t> setAsideSenders_; // hashes of their names
    std::size_t uncheckedLines_ = 0, uncheckedBytes_ = 0;
};

} // namespace sorvane::engine
