#pragma once
// Sealed lines opened as they are read, on the listener's connection threads, so that the
// user-interface thread finds each one opened and its signature checked when the dispatch timer
// fires, instead of doing both after it. What is done here is only a head start: the judging
// (pin, address, age, seen ids) stays with Trust, which takes a check made here only when it was
// made against the key it would check with itself.
//
// Threads: connection threads call open(); the user-interface thread (Trust) sets the own key
// pair and the pins it has checked lines with. A mutex guards both; the key work runs outside
// it. Trust and the listener's owner share the object, so it outlives whichever goes last.
#include "engine/sealing.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sorvane::engine {

class EarlyOpener {
public:
    struct Opened {
        std::string sender;                       // as the line's header names them
        std::string signedMessage;                // what the seal held
        std::optional<sealing::PublicKey> signer; // the pin its signature was checked against
        std::optional<std::string> body;          // what that check gave; nothing: it failed
    };

    // One line's opening, made on a connection thread after the line was queued, so that it
    // runs while the dispatch waits for its timer. Looked at only once done; a dispatch that
    // comes first opens the line itself.
    struct Slot {
        std::atomic<bool> done{false};
        std::optional<Opened> opened;
        const Opened* get() const {
            return done.load(std::memory_order_acquire) && opened ? &*opened : nullptr;
        }
    };

    void setIdentity(std::shared_ptr<const sealing::Identity> identity);
    // `key` becomes the pin lines from `name` are checked against here; none forgets it.
    void setPin(const std::string& name, const std::optional<sealing::PublicKey>& key);

    // Any thread: for a received "<sender> sv1:..." line sealed to the own key, what it holds.
    std::optional<Opened> open(const std::string& line) const;
    // open(), into `slot`.
    void fill(Slot& slot, const std::string& line) const {
        slot.opened = open(line);
        slot.done.store(true, std::memory_order_release);
    }

    // At most this many pins are kept; a sender beyond them is checked on the user-interface
    // thread only.
    static constexpr std::size_t MaxPins = 4096;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const sealing::Identity> identity_;
    std::map<std::string, sealing::PublicKey> pins_;
};

} // namespace sorvane::engine
