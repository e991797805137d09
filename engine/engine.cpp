#include "engine/engine.h"

#include "directory/directory.h"

#include <utility>

namespace sorvane::engine {

Engine::Engine(const directory::Directory& directory, Arrivals::Windows windows, QObject* parent)
    : QObject(parent), directory_(directory), outbox_(directory),
      outgoing_(outbox_, trust_, addresses_), arrivals_(directory, trust_, std::move(windows)),
      mailbox_(directory), presence_(directory) {
    // A friend found reachable gets the lines that wait for them; the addresses found stand in
    // for lookups when the friends' lines are checked, and the keys found are compared with
    // those known.
    connect(&presence_, &PresenceRun::runDone, this,
            [this](const std::vector<FriendPresence>& last) {
                for (const FriendPresence& f : last)
                    if (!f.host.empty()) {
                        trust_.observe(f.name, f.key);
                        addresses_.remember(f.name, {f.host, f.port, f.key});
                    }
                arrivals_.rememberPresence(last);
                for (const FriendPresence& f : last) {
                    if (f.reachable)
                        outgoing_.reachedDirectly(f.name);
                    else if (f.throughDirectory)
                        outgoing_.reachableThroughDirectory(f.name);
                    if (f.online())
                        outgoing_.sendWaiting(f.name);
                }
            });
    // Lines from the mailbox take the path of those the listener receives; each is acknowledged
    // once checked.
    connect(&mailbox_, &Mailbox::arrived, this, [this](const std::vector<Mailbox::Line>& lines) {
        for (const Mailbox::Line& line : lines) {
            const QString sender = QString::fromStdString(line.sender);
            arrivals_.receive(sender, '<' + sender + "> " + QString::fromStdString(line.sealed), {},
                              line.id);
        }
    });
    connect(&arrivals_, &Arrivals::handedOn, &mailbox_, &Mailbox::handedOn);
    connect(&arrivals_, &Arrivals::heardDirectly, &outgoing_, &OutgoingLines::reachedDirectly);
    connect(&mailbox_, &Mailbox::logInAgain, this, &Engine::logInAgain);
    connect(&outgoing_, &OutgoingLines::logInAgain, this, &Engine::logInAgain);
}

void Engine::beginSession(const QString& ownName, std::shared_ptr<const sealing::Identity> identity,
                          const std::filesystem::path& dataDir) {
    // A directory that hands out no login token keeps no mailbox either.
    const bool sealing = identity != nullptr && !directory_.loginToken().empty();
    trust_.begin(ownName, std::move(identity), dataDir);
    if (sealing)
        mailbox_.start(ownName.toStdString(), directory_.loginToken(), dataDir / "seen-ids");
    else
        mailbox_.stop();
}

} // namespace sorvane::engine
