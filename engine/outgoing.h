#pragma once
// The lines typed to each partner that have not gone out yet, one queue per partner. A line
// joins its partner's queue when Enter sends it and leaves it once the partner's messenger has
// taken it; a line that cannot go out waits, in order behind the earlier ones, until the
// partner is back (a presence run reaches them, or a line from them arrives), or, when the
// partner's key changed since the user compared safety numbers, until the user accepts the new
// key. A sealed line that cannot go directly goes to the partner's mailbox at the directory and
// leaves the queue, safe there; from then on the partner's lines go that way until the partner
// is heard from directly, so that none overtakes another. The queues live in memory only: ending
// the program, or closing a conversation, discards them (the windows ask first).
//
// User-interface thread only; the sends run on the Outbox's workers.
#include "engine/addresses.h"
#include "engine/outbox.h"
#include "engine/trust.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace sorvane::engine {

class OutgoingLines : public QObject {
    Q_OBJECT
public:
    enum class WaitReason {
        Unreachable, // the partner's messenger cannot be reached
        KeyChanged,  // the partner's key changed since the user compared safety numbers
    };

    OutgoingLines(Outbox& outbox, Trust& trust, Addresses& addresses, QObject* parent = nullptr);

    // Queues `line` behind the lines that wait for `partner` and sends the queue in order unless
    // a send to the partner is out already. `address`: the partner's, when just looked up;
    // `ready`: the line's head start, if it has one.
    void send(const QString& partner, Outbox::Line line, std::optional<Outbox::Address> address,
              std::unique_ptr<Outbox::Ready> ready = nullptr);
    // The partner is back, or their new key was accepted: the lines that wait go out, unless a
    // send is out already.
    void sendWaiting(const QString& partner);

    // Lines to `partner` that have not gone out yet (waiting, or being sent).
    int undelivered(const QString& partner) const;
    // Every partner with lines that have not gone out yet, and how many.
    std::vector<std::pair<QString, int>> undelivered() const;
    // Throws the lines to `partner` away; a send still out for them reports to nobody.
    void discard(const QString& partner);

    // A line came from `partner` directly, or a probe reached them: lines go directly again.
    void reachedDirectly(const QString& partner);
    // The directory holds a mailbox fetch of `partner`'s and a probe cannot reach them: lines
    // go through the directory at once.
    void reachableThroughDirectory(const QString& partner);

signals:
    // A line to `partner` could not go out and waits now; once per line and reason.
    void waiting(const QString& partner, sorvane::engine::OutgoingLines::WaitReason reason);
    // A line to `partner` that had waited went out; `text` is what was typed.
    void delivered(const QString& partner, const QString& text);
    // A line to `partner` went to their mailbox because the direct way failed.
    void wentThroughDirectory(const QString& partner);
    // The mailbox refused a line to `partner` for good; `reason` is the directory's.
    void refused(const QString& partner, const QString& reason);
    // The directory refused a deposit until the user logs in again.
    void logInAgain();

private:
    struct Line {
        Outbox::Line line;
        std::optional<WaitReason> waiting; // why it waits, once said
    };
    struct Queue {
        std::deque<Line> lines;       // oldest first
        std::size_t sending = 0;      // the first this many are being sent
        std::uint64_t generation = 0; // tells a discarded queue's send from a later queue's
    };
    void sendQueue(const QString& partner, std::optional<Outbox::Address> address,
                   std::unique_ptr<Outbox::Ready> ready = nullptr);
    void sent(const QString& partner, std::uint64_t generation, const Outbox::Result& result);
    // Says why the lines of `queue` that are not said to wait for `reason` wait now.
    void wait(const QString& partner, Queue& queue, WaitReason reason);

    Outbox& outbox_;
    Trust& trust_;
    Addresses& addresses_;
    std::map<QString, Queue> queues_;    // partners with lines not gone out yet
    std::set<QString> throughDirectory_; // partners whose lines go to their mailbox
    std::uint64_t generations_ = 0;
};

} // namespace sorvane::engine
