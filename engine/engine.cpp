#include "engine/engine.h"

#include <utility>

namespace sorvane::engine {

Engine::Engine(const directory::Directory& directory, Arrivals::Windows windows, QObject* parent)
    : QObject(parent), outbox_(directory), outgoing_(outbox_, trust_),
      arrivals_(directory, trust_, std::move(windows)), presence_(directory) {
    // A friend found reachable gets the lines that wait for them; the addresses found stand in
    // for lookups when the friends' lines are checked, and the keys found are compared with
    // those known.
    connect(&presence_, &PresenceRun::runDone, this,
            [this](const std::vector<FriendPresence>& last) {
                for (const FriendPresence& f : last)
                    if (!f.host.empty())
                        trust_.observe(f.name, f.key);
                arrivals_.rememberPresence(last);
                for (const FriendPresence& f : last)
                    if (f.reachable)
                        outgoing_.sendWaiting(f.name);
            });
}

} // namespace sorvane::engine
