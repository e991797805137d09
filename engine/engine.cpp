#include "engine/engine.h"

#include <utility>

namespace sorvane::engine {

Engine::Engine(const directory::Directory& directory, Arrivals::Windows windows, QObject* parent)
    : QObject(parent), outbox_(directory), outgoing_(outbox_),
      arrivals_(directory, std::move(windows)), presence_(directory) {
    // A friend found reachable gets the lines that wait for them; the addresses found stand in
    // for lookups when the friends' lines are checked.
    connect(&presence_, &PresenceRun::runDone, this,
            [this](const std::vector<FriendPresence>& last) {
                arrivals_.rememberPresence(last);
                for (const FriendPresence& f : last)
                    if (f.reachable)
                        outgoing_.sendWaiting(f.name);
            });
}

} // namespace sorvane::engine
