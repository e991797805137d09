#include "engine/arrivals.h"

#include "engine/thread.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTimer>

#include <arpa/inet.h>

#include <utility>

namespace sorvane::engine {

namespace {

std::size_t nameHash(const QString& name) {
    return qHash(name, std::size_t{0x5eed});
}

} // namespace

Arrivals::Arrivals(const sorvane::directory::Directory& directory, Trust& trust, Windows windows,
                   QObject* parent)
    : QObject(parent), lookups_(directory, this), trust_(trust), windows_(std::move(windows)),
      turn_(new QTimer(this)) {
    turn_->setSingleShot(true);
    turn_->setInterval(0);
    connect(turn_, &QTimer::timeout, this, &Arrivals::handOut);
    connect(&lookups_, &SenderLookups::answered, this, &Arrivals::answered);
}

void Arrivals::rememberPresence(const std::vector<FriendPresence>& probed) {
    SORVANE_ASSERT_UI_THREAD();
    const Clock::time_point now = Clock::now();
    for (const FriendPresence& f : probed)
        if (!f.host.empty())
            presence_[f.name] = Known{f.host, now};
        else
            presence_.erase(f.name);
}

// Where a line goes, decided as it arrives:
// 1. behind the sender's lines still on their way, wherever those go (their order stands);
// 2. into the sender's open conversation window;
// 3. a friend's line opens a window;
// 4. behind the sender's set-aside lines that the user has not looked at yet;
// 5. a window of its own while fewer than NewWindowsPerMinute were opened for people who are
//    not friends in the last minute;
// 6. aside.
Destination Arrivals::destinationOf(const QString& sender) {
    const auto waiting = senders_.find(sender);
    if (waiting != senders_.end() && !waiting->second.lines.empty())
        return waiting->second.lines.back().destination;
    if (windows_.hasConversation(sender) || windows_.isFriend(sender))
        return Destination::Conversation;
    if (setAsideSenders_.count(nameHash(sender)) != 0)
        return Destination::SetAside;
    const Clock::time_point now = Clock::now();
    while (!windowsOpened_.empty() && now - windowsOpened_.front() >= std::chrono::minutes(1))
        windowsOpened_.pop_front();
    if (windowsOpened_.size() < static_cast<std::size_t>(NewWindowsPerMinute)) {
        windowsOpened_.push_back(now);
        return Destination::Conversation;
    }
    return Destination::SetAside;
}

bool Arrivals::checkedByPresence(const QString& sender, const std::string& from) const {
    const auto known = presence_.find(sender);
    if (known == presence_.end() || Clock::now() - known->second.at > PresenceAddressLife)
        return false;
    // Only a dotted address is compared here; a host name is left to the lookup, which
    // resolves it with a bound.
    in_addr address{};
    char dotted[INET_ADDRSTRLEN];
    return inet_pton(AF_INET, known->second.host.c_str(), &address) == 1 &&
           inet_ntop(AF_INET, &address, dotted, sizeof dotted) && from == dotted;
}

void Arrivals::receive(const QString& sender, const QString& line, const std::string& from,
                       const std::string& mailboxId, const EarlyOpener::Opened* early) {
    SORVANE_ASSERT_UI_THREAD();
    if (!from.empty())
        emit heardDirectly(sender);
    Waiting waiting{
        .line = line, .from = from, .destination = destinationOf(sender), .mailboxId = mailboxId};
    const QString header = '<' + sender + "> ";
    if (line.startsWith(header) &&
        QStringView(line).mid(header.size()).startsWith(QLatin1String(sealing::Prefix))) {
        // Opened on the connection thread already, unless it came first.
        if (std::optional<std::string> opened =
                early && early->sender == sender.toStdString()
                    ? std::make_optional(early->signedMessage)
                    : trust_.open(line.mid(header.size()).toStdString())) {
            waiting.signedMessage = std::move(*opened);
        } else {
            waiting.line = Trust::cannotOpen(sender).line;
            check(waiting, {});
        }
    }
    if (waiting.signedMessage) {
        // A sealed line that verifies needs no address check: it may come through a NAT.
        judgeByPin(sender, waiting, early);
        if (waiting.replay)
            return;
    } else if (!waiting.checked && trust_.publishes() && trust_.pinned(sender)) {
        check(waiting, Trust::unsealedNote(sender));
    } else if (!waiting.checked && checkedByPresence(sender, from)) {
        // A friend's line from the address the last presence run found needs no lookup. One
        // from elsewhere is looked up afresh: the friend may have logged in again elsewhere.
        check(waiting, {});
    }
    const std::size_t bytes = static_cast<std::size_t>(line.size()) * sizeof(QChar);
    if (!waiting.checked && !windows_.isFriend(sender) &&
        (uncheckedLines_ >= MaxUncheckedLines || uncheckedBytes_ + bytes > MaxUncheckedBytes)) {
        // Made-up senders cannot make the check's queue grow without end: the line goes aside
        // at once, ahead of the sender's lines that wait for their check, where the set-aside
        // lines' own bound holds.
        check(waiting, uncheckedNote());
        setAside(Arrival{sender, std::move(waiting.line), std::move(waiting.note),
                         Destination::SetAside});
        return;
    }
    Sender& queue = senders_[sender];
    queue.lines.push_back(std::move(waiting));
    Waiting& queued = queue.lines.back();
    if (queued.checked) {
        takeTurnIfReady(sender);
        return;
    }
    queued.counted = bytes;
    ++uncheckedLines_;
    uncheckedBytes_ += bytes;
    using Urgency = SenderLookups::Urgency;
    lookups_.ask(sender, windows_.isFriend(sender)                         ? Urgency::Friend
                         : queued.destination == Destination::Conversation ? Urgency::Conversation
                                                                           : Urgency::SetAside);
}

QString Arrivals::uncheckedNote() {
    return QStringLiteral("(not verified: too many lines were waiting to be checked)");
}

void Arrivals::check(Waiting& line, QString note) {
    line.note = std::move(note);
    line.checked = true;
    if (!line.mailboxId.empty())
        emit handedOn(std::exchange(line.mailboxId, {}));
    if (line.counted > 0) {
        --uncheckedLines_;
        uncheckedBytes_ -= line.counted;
        line.counted = 0;
    }
}

bool Arrivals::judgeByPin(const QString& sender, Waiting& line, const EarlyOpener::Opened* early) {
    const std::optional<sealing::PublicKey> pin = trust_.pinned(sender);
    if (!pin)
        return false;
    const Trust::Judged judged = trust_.judge(sender, *line.signedMessage, pin, false, early);
    // A signature that fails the pin of a partner who never compared safety numbers may be a
    // new key: the directory is asked before the line is marked.
    if (judged.verdict == Trust::Judged::Verdict::NotSigned && !trust_.verified(sender))
        return false;
    line.replay = judged.verdict == Trust::Judged::Verdict::Replay;
    line.line = judged.line;
    check(line, judged.note);
    return true;
}

void Arrivals::judge(const QString& sender, Waiting& line,
                     const std::optional<sealing::PublicKey>& key, bool directoryDown) {
    const Trust::Judged judged = trust_.judge(sender, *line.signedMessage, key, directoryDown);
    line.replay = judged.verdict == Trust::Judged::Verdict::Replay;
    line.line = judged.line;
    check(line, judged.note);
}

void Arrivals::answered(const QString& sender, const SenderAddress& address) {
    const auto found = senders_.find(sender);
    if (found == senders_.end())
        return;
    const bool down = address.kind == SenderAddress::Kind::DirectoryDown;
    if (!down)
        trust_.observe(sender, address.key);
    // The answer holds for every line of the sender that waits for one, also those that came
    // while the question was out.
    for (Waiting& w : found->second.lines) {
        if (w.checked)
            continue;
        if (w.signedMessage) {
            judge(sender, w, trust_.pinned(sender), down);
        } else if (trust_.publishes() && (trust_.pinned(sender) || address.key)) {
            check(w, Trust::unsealedNote(sender));
        } else {
            check(w, senderNote(sender, w.from, address));
            if (w.note.isEmpty())
                rememberConfirmed(sender, w.from);
        }
    }
    std::erase_if(found->second.lines, [](const Waiting& w) { return w.replay; });
    if (found->second.lines.empty()) {
        senders_.erase(found);
        return;
    }
    takeTurnIfReady(sender);
}

// An address the directory confirmed stands in for the sender's next lookups as a presence
// run's does, so that a conversation costs the directory one request a minute per partner, not
// one per line; a line from anywhere else is still looked up.
void Arrivals::rememberConfirmed(const QString& sender, const std::string& from) {
    const Clock::time_point now = Clock::now();
    if (presence_.size() >= MaxKnownAddresses)
        std::erase_if(presence_, [&](const auto& known) {
            return now - known.second.at > PresenceAddressLife;
        });
    if (presence_.size() < MaxKnownAddresses || presence_.count(sender) != 0)
        presence_[sender] = Known{from, now};
}

void Arrivals::takeTurnIfReady(const QString& sender) {
    Sender& queue = senders_[sender];
    if (queue.inTurn || queue.lines.empty() || !queue.lines.front().checked)
        return;
    queue.inTurn = true;
    turns_.push_back(sender);
    if (!turn_->isActive())
        turn_->start();
}

void Arrivals::handOut() {
    QElapsedTimer clock;
    clock.start();
    while (!turns_.empty() && clock.elapsed() < TurnBudget.count()) {
        const QString sender = turns_.front();
        turns_.pop_front();
        Sender& queue = senders_[sender];
        queue.inTurn = false;
        Waiting next = std::move(queue.lines.front());
        queue.lines.pop_front();
        if (queue.lines.empty())
            senders_.erase(sender);
        else
            takeTurnIfReady(sender); // back at the end of the turns
        Arrival arrival{sender, std::move(next.line), std::move(next.note), next.destination};
        if (arrival.destination == Destination::SetAside)
            setAside(std::move(arrival));
        else
            emit arrived(arrival);
    }
    if (!turns_.empty())
        turn_->start();
}

void Arrivals::setAside(Arrival arrival) {
    setAsideSenders_.insert(nameHash(arrival.sender));
    setAsideCharacters_ += arrival.line.size();
    setAside_.lines.push_back(std::move(arrival));
    while (setAside_.lines.size() > 1 && (setAside_.lines.size() > MaxSetAsideLines ||
                                          setAsideCharacters_ > MaxSetAsideCharacters)) {
        setAsideCharacters_ -= setAside_.lines.front().line.size();
        setAside_.lines.pop_front();
        ++setAside_.dropped;
    }
    emit setAsideChanged();
}

long long Arrivals::setAsideCount() const {
    return static_cast<long long>(setAside_.lines.size()) + setAside_.dropped;
}

SetAsideLines Arrivals::takeSetAside() {
    setAsideSenders_.clear();
    setAsideCharacters_ = 0;
    return std::exchange(setAside_, {});
}

} // namespace sorvane::engine
