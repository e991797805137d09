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

Arrivals::Arrivals(const sorvane::directory::Directory& directory, Windows windows, QObject* parent)
    : QObject(parent), lookups_(directory, this), windows_(std::move(windows)),
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

void Arrivals::receive(const QString& sender, const QString& line, const std::string& from) {
    SORVANE_ASSERT_UI_THREAD();
    const Destination destination = destinationOf(sender);
    Sender& queue = senders_[sender];
    queue.lines.push_back(Waiting{line, from, destination, false, {}});
    // A friend's line from the address the last presence run found needs no lookup. One from
    // elsewhere is looked up afresh: the friend may have logged in again from another place.
    if (checkedByPresence(sender, from)) {
        queue.lines.back().checked = true;
        takeTurnIfReady(sender);
        return;
    }
    using Urgency = SenderLookups::Urgency;
    lookups_.ask(sender, windows_.isFriend(sender)                  ? Urgency::Friend
                         : destination == Destination::Conversation ? Urgency::Conversation
                                                                    : Urgency::SetAside);
}

void Arrivals::answered(const QString& sender, const SenderAddress& address) {
    const auto found = senders_.find(sender);
    if (found == senders_.end())
        return;
    // The answer holds for every line of the sender that waits for one, also those that came
    // while the question was out.
    for (Waiting& w : found->second.lines)
        if (!w.checked) {
            w.note = senderNote(sender, w.from, address);
            w.checked = true;
            if (w.note.isEmpty())
                rememberConfirmed(sender, w.from);
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
