#pragma once
// Lines on their way to partners, sent away from the user-interface thread: a send connects (up
// to the connect bound) and may wait for the partner to take the line (up to the send bound),
// and a window that sends several waiting lines at once must not freeze meanwhile.
//
// Threads. The user-interface thread hands out sends and receives their results. A pool of
// worker threads (ProbePool) carries them out, each send with TCP clients of its own: one
// connection per line, as the peer line format has it.
// Shared. Nothing but the stop event and the send bound: each send works on its own copy of
// what it needs. Results go back as queued calls on this object, so none arrives once it is gone.
// Stopping. The destructor raises the stop event, which ends any lookup, connect or send in
// progress at once, then waits for the pool's threads.
#include "engine/probe_pool.h"
#include "net/stop_event.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvane::directory {
class Directory;
}

namespace sorvane::engine {

class Outbox : public QObject {
    Q_OBJECT
public:
    // Sends to different partners run side by side, up to this many at once.
    static constexpr std::size_t MaxParallelSends = 4;

    struct Address {
        std::string host, port;
    };
    using Done = std::function<void(std::size_t delivered)>;

    explicit Outbox(const sorvane::directory::Directory& directory, QObject* parent = nullptr);
    ~Outbox() override;
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // User-interface thread. Sends `lines` to `partner` in order, each once, stopping at the
    // first that cannot go out. `address` is the partner's when the caller has just looked it
    // up; without one the directory is asked first, and when that gives no address nothing
    // goes out. `done` runs on the user-interface thread with how many lines went out.
    void send(const QString& partner, std::optional<Address> address,
              std::vector<std::string> lines, Done done);

    // How long each line may take to go out once connected (as TTcpClient's send bound).
    void setSendTimeout(std::chrono::milliseconds timeout) { sendTimeoutMs_ = timeout.count(); }

private:
    // Worker thread.
    std::size_t sendAll(const std::string& partner, std::optional<Address> address,
                        const std::vector<std::string>& lines) const;

    const sorvane::directory::Directory& directory_;
    sorvane::net::StopEvent stop_; // raised once the object is going
    std::atomic<long long> sendTimeoutMs_;
    std::unique_ptr<ProbePool> pool_;
};

} // namespace sorvane::engine
