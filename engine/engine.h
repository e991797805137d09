#pragma once
// What the messenger does without a window: who the user is on this computer and whose keys it
// knows (Trust), the presence run, the lines on their way in (opened, checked, ordered,
// flood-limited) and the lines on their way out (sealed, sent, or waiting for the partner). The
// windows show what it finds and hand it what the user types.
//
// Threads: each part keeps its own workers (see its header); the engine itself belongs to the
// user-interface thread. Destroying it ends every run, check and send at once, newest part
// first, so that nothing reports to a part that is gone.
#include "engine/addresses.h"
#include "engine/arrivals.h"
#include "engine/mailbox.h"
#include "engine/outbox.h"
#include "engine/outgoing.h"
#include "engine/presence.h"
#include "engine/trust.h"

#include <QObject>

namespace sorvane::directory {
class Directory;
}

namespace sorvane::engine {

class Engine : public QObject {
    Q_OBJECT
public:
    // `windows`: what the arrivals need to know of the windows' state.
    Engine(const directory::Directory& directory, Arrivals::Windows windows,
           QObject* parent = nullptr);

    // A login succeeded as `ownName`, publishing `identity` (null: none), with the user's files
    // in `dataDir`: the session's keys and seen lines are loaded, and with a key published the
    // mailbox is fetched from now on.
    void beginSession(const QString& ownName, std::shared_ptr<const sealing::Identity> identity,
                      const std::filesystem::path& dataDir);

    Trust& trust() { return trust_; }
    // Partners' addresses said within the last minute.
    Addresses& addresses() { return addresses_; }
    Mailbox& mailbox() { return mailbox_; }
    PresenceRun& presence() { return presence_; }
    Arrivals& arrivals() { return arrivals_; }
    Outbox& outbox() { return outbox_; }
    OutgoingLines& outgoing() { return outgoing_; }

signals:
    // The directory refused a request until the user logs in again.
    void logInAgain();

private:
    const directory::Directory& directory_;
    // In the order they are made; they go in the reverse one.
    Addresses addresses_;
    Trust trust_;
    Outbox outbox_;
    OutgoingLines outgoing_;
    Arrivals arrivals_;
    Mailbox mailbox_;
    PresenceRun presence_;
};

} // namespace sorvane::engine
