#include "engine/outgoing.h"

#include "engine/thread.h"

#include <QPointer>

#include <string>

namespace sorvane::engine {

OutgoingLines::OutgoingLines(Outbox& outbox, QObject* parent) : QObject(parent), outbox_(outbox) {}

void OutgoingLines::send(const QString& partner, const QString& line, const QString& text,
                         std::optional<Outbox::Address> address) {
    SORVANE_ASSERT_UI_THREAD();
    const auto [queue, made] = queues_.try_emplace(partner);
    if (made)
        queue->second.generation = ++generations_;
    queue->second.lines.push_back(Line{line, text});
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
    queue.sending = queue.lines.size();
    std::vector<std::string> lines;
    for (const Line& l : queue.lines)
        lines.push_back(l.line.toStdString());
    outbox_.send(partner, std::move(address), std::move(lines),
                 [self = QPointer<OutgoingLines>(this), partner,
                  generation = queue.generation](std::size_t delivered) {
                     if (self)
                         self->sent(partner, generation, delivered);
                 });
}

void OutgoingLines::sent(const QString& partner, std::uint64_t generation, std::size_t wentOut) {
    const auto found = queues_.find(partner);
    if (found == queues_.end() || found->second.generation != generation)
        return; // discarded while the send was out
    Queue& queue = found->second;
    const std::size_t tried = std::exchange(queue.sending, 0);
    QStringList waitedAndWent;
    for (std::size_t i = 0; i < wentOut && !queue.lines.empty(); ++i) {
        if (queue.lines.front().waiting)
            waitedAndWent << queue.lines.front().text;
        queue.lines.pop_front();
    }
    // The rest waits, each line said once, lines typed while the send was out included.
    int nowWaiting = 0;
    if (wentOut < tried)
        for (Line& l : queue.lines)
            if (!l.waiting) {
                l.waiting = true;
                ++nowWaiting;
            }
    const bool more = wentOut >= tried && !queue.lines.empty();
    if (queue.lines.empty())
        queues_.erase(found);
    for (const QString& text : waitedAndWent)
        emit delivered(partner, text);
    for (int i = 0; i < nowWaiting; ++i)
        emit waiting(partner);
    if (more)
        sendWaiting(partner); // lines typed while this send was out
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
