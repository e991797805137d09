#pragma once
// The lines typed to each partner that have not gone out yet, one queue per partner. A line
// joins its partner's queue when Enter sends it and leaves it once the partner's messenger has
// taken it; a line that cannot go out waits, in order behind the earlier ones, until the
// partner is back (a presence run reaches them, or a line from them arrives). The queues live
// in memory only: ending the program, or closing a conversation, discards them (the windows
// ask first).
//
// User-interface thread only; the sends run on the Outbox's workers.
#include "engine/outbox.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace sorvane::engine {

class OutgoingLines : public QObject {
    Q_OBJECT
public:
    explicit OutgoingLines(Outbox& outbox, QObject* parent = nullptr);

    // Queues `line` (as it goes out: "<" + own name + "> " + text; `text` is what was typed)
    // behind the lines that wait for `partner`, and sends the queue in order unless a send to
    // the partner is out already. `address` as for Outbox::send.
    void send(const QString& partner, const QString& line, const QString& text,
              std::optional<Outbox::Address> address);
    // The partner is back: the lines that wait go out, unless a send is out already.
    void sendWaiting(const QString& partner);

    // Lines to `partner` that have not gone out yet (waiting, or being sent).
    int undelivered(const QString& partner) const;
    // Every partner with lines that have not gone out yet, and how many.
    std::vector<std::pair<QString, int>> undelivered() const;
    // Throws the lines to `partner` away; a send still out for them reports to nobody.
    void discard(const QString& partner);

signals:
    // A line to `partner` could not go out and waits now; once per line.
    void waiting(const QString& partner);
    // A line to `partner` that had waited went out; `text` is what was typed.
    void delivered(const QString& partner, const QString& text);

private:
    struct Line {
        QString line;
        QString text;
        bool waiting = false; // a send failed and `waiting` was said
    };
    struct Queue {
        std::deque<Line> lines;       // oldest first
        std::size_t sending = 0;      // the first this many are being sent
        std::uint64_t generation = 0; // tells a discarded queue's send from a later queue's
    };
    void sendQueue(const QString& partner, std::optional<Outbox::Address> address);
    void sent(const QString& partner, std::uint64_t generation, std::size_t wentOut);

    Outbox& outbox_;
    std::map<QString, Queue> queues_; // partners with lines not gone out yet
    std::uint64_t generations_ = 0;
};

} // namespace sorvane::engine
