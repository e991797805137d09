#include "engine/outgoing.h"

#include "engine/thread.h"

#include <QPointer>

#include <string>

namespace sorvane::engine {

OutgoingLines::OutgoingLines(Outbox& outbox, Trust& trust, QObject* parent)
    : QObject(parent), outbox_(outbox), trust_(trust) {}

void OutgoingLines::send(const QString& partner, Outbox::Line line,
                         std::optional<Outbox::Address> address) {
    SORVANE_ASSERT_UI_THREAD();
    const auto [queue, made] = queues_.try_emplace(partner);
    if (made)
        queue->second.generation = ++generations_;
    queue->second.lines.push_back(Line{std::move(line), std::nullopt});
    if (address)
        trust_.observe(partner, address->key);
    // Behind the lines that wait, if any: the partner gets them in the order they were typed.
    sendQueue(partner, std::move(address));
}

void OutgoingLines::sendWaiting(const QString& partner) {
    SORVANE_ASSERT_UI_THREAD();
    if (queues_.count(partner) != 0)
        sendQueue(partner, std::nullopt);
}

void OutgoingLines::sendQueue(const QString& partner, std::optional<Outbox::Address> address) {
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
    outbox_.send(partner, std::move(address), std::move(lines),
                 Outbox::From{trust_.ownName().toStdString(), trust_.identity()}, compared,
                 [self = QPointer<OutgoingLines>(this), partner,
                  generation = queue.generation](const Outbox::Result& result) {
                     if (self)
                         self->sent(partner, generation, result);
                 });
}

void OutgoingLines::sent(const QString& partner, std::uint64_t generation,
                         const Outbox::Result& result) {
    const auto found = queues_.find(partner);
    if (found == queues_.end() || found->second.generation != generation)
        return; // discarded while the send was out
    if (result.got)
        trust_.observe(partner, result.got->key);
    Queue& queue = found->second;
    const std::size_t tried = std::exchange(queue.sending, 0);
    QStringList waitedAndWent;
    for (std::size_t i = 0; i < result.delivered && !queue.lines.empty(); ++i) {
        if (queue.lines.front().waiting)
            waitedAndWent << QString::fromStdString(queue.lines.front().line.text);
        queue.lines.pop_front();
    }
    const bool more = result.delivered >= tried && !queue.lines.empty();
    for (const QString& text : waitedAndWent)
        emit delivered(partner, text);
    if (queue.lines.empty()) {
        queues_.erase(found);
        return;
    }
    if (result.held || trust_.held(partner))
        wait(partner, queue, WaitReason::KeyChanged);
    else if (!more)
        wait(partner, queue, WaitReason::Unreachable);
    else
        sendWaiting(partner); // lines typed while this send was out
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
