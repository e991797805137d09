#include "engine/outgoing.h"

#include "directory/directory.h"
#include "engine/thread.h"

#include <QPointer>

#include <functional>

#include <string>

namespace sorvane::engine {

OutgoingLines::OutgoingLines(Outbox& outbox, Trust& trust, Addresses& addresses, QObject* parent)
    : QObject(parent), outbox_(outbox), trust_(trust), addresses_(addresses) {}

void OutgoingLines::send(const QString& partner, Outbox::Line line,
                         std::optional<Outbox::Address> address,
                         std::unique_ptr<Outbox::Ready> ready) {
    SORVANE_ASSERT_UI_THREAD();
    const auto [queue, made] = queues_.try_emplace(partner);
    if (made)
        queue->second.generation = ++generations_;
    queue->second.lines.push_back(Line{std::move(line), std::nullopt});
    if (address && !address->recent) {
        trust_.observe(partner, address->key);
        addresses_.remember(partner, *address);
    }
    // Behind the lines that wait, if any: the partner gets them in the order they were typed.
    sendQueue(partner, std::move(address), std::move(ready));
}

void OutgoingLines::sendWaiting(const QString& partner) {
    SORVANE_ASSERT_UI_THREAD();
    if (queues_.count(partner) != 0)
        sendQueue(partner, std::nullopt);
}

void OutgoingLines::sendQueue(const QString& partner, std::optional<Outbox::Address> address,
                              std::unique_ptr<Outbox::Ready> ready) {
    Queue& queue = queues_.at(partner);
    if (queue.sending > 0 || queue.lines.empty())
        return;
    if (trust_.held(partner)) {
        wait(partner, queue, WaitReason::KeyChanged);
        return;
    }
    queue.sending = queue.lines.size();
    std::vector<Outbox::Line> lines;
    for (const Line& l : queue.lines)
        lines.push_back(l.line);
    std::optional<sealing::PublicKey> compared;
    if (trust_.verified(partner))
        compared = trust_.pinned(partner);
    outbox_.send(
        partner, std::move(address), std::move(lines),
        Outbox::From{trust_.ownName().toStdString(), trust_.identity(),
                     outbox_.directory().loginToken()},
        compared, throughDirectory_.count(partner) != 0,
        [self = QPointer<OutgoingLines>(this), partner,
         generation = queue.generation](const Outbox::Result& result) {
            if (self)
                self->sent(partner, generation, result);
        },
        std::move(ready));
}

void OutgoingLines::sent(const QString& partner, std::uint64_t generation,
                         const Outbox::Result& result) {
    using Kind = Outbox::Outcome::Kind;
    if (result.got) {
        trust_.observe(partner, result.got->key);
        addresses_.remember(partner, *result.got);
    }
    if (result.logInAgain)
        emit logInAgain();
    const auto found = queues_.find(partner);
    if (found == queues_.end() || found->second.generation != generation)
        return; // discarded while the send was out
    Queue& queue = found->second;
    const std::size_t tried = std::exchange(queue.sending, 0);
    // What to say, in the order it happened, once the queue is in order again.
    std::vector<std::function<void()>> say;
    bool stopped = result.outcomes.size() < tried;
    for (const Outbox::Outcome& outcome : result.outcomes) {
        if (outcome.kind == Kind::NotSent || queue.lines.empty()) {
            stopped = true;
            break;
        }
        const Line done = std::move(queue.lines.front());
        queue.lines.pop_front();
        const QString text = QString::fromStdString(done.line.text);
        if (outcome.kind == Kind::Deposited)
            throughDirectory_.insert(partner);
        if (outcome.fellBack)
            say.push_back([this, partner] { emit wentThroughDirectory(partner); });
        if (outcome.kind == Kind::Refused)
            say.push_back([this, partner, reason = QString::fromStdString(outcome.refusal)] {
                emit refused(partner, reason);
            });
        else if (done.waiting)
            say.push_back([this, partner, text] { emit delivered(partner, text); });
    }
    const bool more = !stopped && !queue.lines.empty();
    const bool held = result.held || trust_.held(partner);
    if (queue.lines.empty())
        queues_.erase(found);
    for (const auto& s : say)
        s();
    if (queues_.count(partner) == 0)
        return;
    Queue& rest = queues_.at(partner);
    if (held)
        wait(partner, rest, WaitReason::KeyChanged);
    else if (!more)
        wait(partner, rest, WaitReason::Unreachable);
    else
        sendWaiting(partner); // lines typed while this send was out
}

void OutgoingLines::reachedDirectly(const QString& partner) {
    throughDirectory_.erase(partner);
}

void OutgoingLines::reachableThroughDirectory(const QString& partner) {
    if (trust_.publishes())
        throughDirectory_.insert(partner);
}

void OutgoingLines::wait(const QString& partner, Queue& queue, WaitReason reason) {
    // Each line is said once per reason, lines typed while the send was out included.
    int now = 0;
    for (Line& l : queue.lines)
        if (l.waiting != reason) {
            l.waiting = reason;
            ++now;
        }
    for (int i = 0; i < now; ++i)
        emit waiting(partner, reason);
}

int OutgoingLines::undelivered(const QString& partner) const {
    const auto found = queues_.find(partner);
    return found == queues_.end() ? 0 : static_cast<int>(found->second.lines.size());
}

std::vector<std::pair<QString, int>> OutgoingLines::undelivered() const {
    std::vector<std::pair<QString, int>> out;
    for (const auto& [partner, queue] : queues_)
        if (!queue.lines.empty())
            out.emplace_back(partner, static_cast<int>(queue.lines.size()));
    return out;
}

void OutgoingLines::discard(const QString& partner) {
    SORVANE_ASSERT_UI_THREAD();
    queues_.erase(partner);
}

} // namespace sorvane::engine
