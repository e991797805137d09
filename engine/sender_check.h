#pragma once
// Who really sent a line: anyone who can reach the listener can put any name in a line's header,
// so the directory is asked where that name is registered and the address the line's connection
// came from is compared with it.
//
// Threads. The user-interface thread asks about names and receives the answers. One worker
// thread, made at the first question and kept until this object goes, asks the directory
// ("g.php" without cache-buster, into "temp2.txt", which the directory's own file lock shares
// with the sends) one name at a time; a registered host name is resolved on a short-lived thread
// of its own that the worker waits for a bounded time.
// Shared. The questions waiting for the worker (guarded by mutex_) and the stop event. Answers go
// to the user-interface thread as queued calls on this object, so nothing arrives once it is
// gone.
// Stopping. The destructor raises the stop event, which ends a directory request in progress at
// once, and joins the worker. A name resolution still out ends by itself later; it owns all it
// touches.
#include "engine/sealing.h"
#include "net/stop_event.h"

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::directory {
class Directory;
}

namespace sorvane::engine {

// Where the directory says a name's lines come from.
struct SenderAddress {
    enum class Kind { Registered, Unregistered, DirectoryDown };
    Kind kind = Kind::Unregistered;
    std::vector<std::string> addresses;    // Registered: the registered host's IPv4 addresses
    std::optional<sealing::PublicKey> key; // the name's key, when the directory publishes one
};

// The IPv4 addresses (dotted) of a registered host text: the text itself when it is a dotted
// address, else what the resolver gives for the host name within `bound`; none when it gives
// none in time.
std::vector<std::string> registeredAddresses(const std::string& host,
                                             std::chrono::milliseconds bound);

// The history note for a line from `sender` that came from `from`; empty when `from` is where
// the sender is registered.
QString senderNote(const QString& sender, const std::string& from, const SenderAddress& registered);

class SenderLookups : public QObject {
    Q_OBJECT
public:
    // Questions are answered most urgent first, so that a friend's line is never held back
    // behind the lookups of a flood of made-up senders.
    enum class Urgency { Friend, Conversation, SetAside };
    static constexpr std::chrono::milliseconds ResolveBound{2000};

    explicit SenderLookups(const sorvane::directory::Directory& directory,
                           QObject* parent = nullptr);
    ~SenderLookups() override;
    SenderLookups(const SenderLookups&) = delete;
    SenderLookups& operator=(const SenderLookups&) = delete;

    // User-interface thread. Asks where `name` is registered; a name still waiting for the worker
    // is asked once, with the more urgent of the two. A question that cannot be asked (no worker
    // thread) is answered at once as a directory that cannot be reached.
    void ask(const QString& name, Urgency urgency);

signals:
    // User-interface thread.
    void answered(const QString& name, const SenderAddress& address);

private:
    void work();
    SenderAddress lookUp(const QString& name) const;

    const sorvane::directory::Directory& directory_;
    std::thread worker_;
    sorvane::net::StopEvent stop_; // raised once the object is going
    std::mutex mutex_;
    std::condition_variable asked_;
    std::array<std::deque<QString>, 3> waiting_; // per urgency, oldest first
    std::map<QString, Urgency> urgencyOf_;       // the names in waiting_
    bool stopping_ = false;
};

} // namespace sorvane::engine
