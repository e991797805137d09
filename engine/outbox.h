#pragma once
// Lines on their way to partners, sent away from the user-interface thread: a send connects (up
// to the connect bound) and may wait for the partner to take the line (up to the send bound),
// and a window that sends several waiting lines at once must not freeze meanwhile. A sealed line
// that cannot go directly is deposited in the partner's mailbox at the directory.
//
// Threads. The user-interface thread hands out sends and receives their results. A pool of
// worker threads (ProbePool) carries them out, each send with TCP clients of its own: one
// connection per line, as the peer line format has it. A line's head start (Ready) is made on
// another thread and handed over whole: send() writes what its connection takes at once, and
// from then on only the send's worker uses it.
// Shared. Nothing but the stop event, the send bound and the sender's key pair, which never
// changes (a shared pointer to const): each send works on its own copy of what it needs. Results
// go back as queued calls on this object, so none arrives once it is gone.
// Stopping. The destructor raises the stop event, which ends any lookup, connect or send in
// progress at once, then waits for the pool's threads.
#include "directory/linelist.h"
#include "engine/probe_pool.h"
#include "engine/sealing.h"
#include "net/sockets.h"
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

    // Where a partner is, as the directory says: host, port and published key, if any.
    struct Address {
        std::string host, port;
        std::optional<sealing::PublicKey> key;
        // Said within the last minute rather than just now: when it does not answer, the
        // directory is asked again before a line falls back to the mailbox.
        bool recent = false;
    };
    // The address a lookup's reply gives (host, port and, on the third line, the key).
    static Address addressOf(const sorvane::LineList& reply);
    // One typed line. It goes sealed when the partner publishes a key and the sender has one,
    // sealed to the key that goes with the address it goes to; else plain.
    struct Line {
        std::string plain; // "<" + own name + "> " + text
        std::string text;  // what was typed, after the trailing-blank rule
        std::string id;    // made when Enter was pressed
        long long time = 0;
    };
    // Who sends: the own name, the key pair lines are signed with (null: lines go plain), and
    // the login's token, which deposits in a mailbox carry.
    struct From {
        std::string name;
        std::shared_ptr<const sealing::Identity> identity;
        std::string token;
    };
    // What became of one line.
    struct Outcome {
        enum class Kind {
            Sent,      // the partner's messenger took it
            Deposited, // it waits for the partner in the directory's mailbox
            Refused,   // the mailbox refused it for good: `refusal` says why
            NotSent,   // it waits here; the lines after it were not tried
        };
        Kind kind = Kind::NotSent;
        bool fellBack = false; // Deposited after the direct way failed
        std::string refusal;
    };
    // A head start for one line, made on another thread while the conversation window's 1 ms
    // Enter timer waits: the connect to the partner's address started, and the line made (sealed
    // when it goes sealed) for that address. The send of that very line uses it when it goes
    // straight to that address, key and all; otherwise it is closed unused, and the partner takes
    // the connection for a presence probe.
    struct Ready {
        Address address;
        Line line;
        std::string wire;        // the line on the wire, CR LF included
        std::size_t written = 0; // how much of it went out already
        std::unique_ptr<sorvane::net::TTcpClient> client;
    };
    // Any thread: starts the connect to `address` and makes `line`'s wire line for it; nothing
    // when no connect could start.
    static std::unique_ptr<Ready> makeReady(const std::string& partner, const Address& address,
                                            const Line& line, const From& from);

    struct Result {
        std::vector<Outcome> outcomes; // the lines tried, from the first
        std::optional<Address> got;    // what the directory said, when the send asked it
        bool held = false;             // the directory gives a key other than `compared`
        bool logInAgain = false;       // a deposit was refused until the user logs in again
    };
    // The longest sealed text a mailbox takes.
    static constexpr std::size_t MaxDeposit = 64 * 1024;
    using Done = std::function<void(const Result& result)>;

    // The line on the wire (without its CR LF) for `line` to `partner` at `address`.
    static std::string wireLine(const std::string& partner, const Line& line,
                                const Address& address, const From& from);
    // The length of wireLine's result, without sealing.
    static std::size_t wireLength(const std::string& partner, const Line& line,
                                  const Address& address, const From& from);

    explicit Outbox(const sorvane::directory::Directory& directory, QObject* parent = nullptr);
    ~Outbox() override;
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // User-interface thread. Sends `lines` to `partner` in order, each once, stopping at the
    // first that cannot go out. `address` is the partner's when the caller has just looked it
    // up; without one the directory is asked first, and when that gives no address nothing
    // goes out. With `compared` (the key the user compared safety numbers with), nothing goes
    // out when the directory gives another. A sealed line that cannot go directly is deposited;
    // with `throughDirectory` every line goes that way at once. `done` runs on the
    // user-interface thread. `ready`, made for the first line, is used when it fits: what of the
    // line its connection takes at once is written here, without waiting for a worker.
    void send(const QString& partner, std::optional<Address> address, std::vector<Line> lines,
              From from, std::optional<sealing::PublicKey> compared, bool throughDirectory,
              Done done, std::unique_ptr<Ready> ready = nullptr);

    const sorvane::directory::Directory& directory() const { return directory_; }

    // How long a short line may take to go out once connected (as TTcpClient's send bound); a
    // longer one gets a tenth of that more for each 64 KiB, so that a slow link finishes it.
    void setSendTimeout(std::chrono::milliseconds timeout) { sendTimeoutMs_ = timeout.count(); }
    static constexpr std::size_t BytesPerStep = 64 * 1024;

private:
    // Worker thread.
    Result sendAll(const std::string& partner, std::optional<Address> address,
                   const std::vector<Line>& lines, const From& from,
                   const std::optional<sealing::PublicKey>& compared, bool throughDirectory,
                   Ready* ready) const;
    bool sendDirectly(const Address& address, const std::string& wire) const;
    bool sendReady(Ready& ready) const;
    std::chrono::milliseconds sendBound(std::size_t wireBytes) const;
    Outcome deposit(const std::string& partner, const Address& address, const Line& line,
                    const std::string& wire, const From& from, bool& logInAgain) const;

    const sorvane::directory::Directory& directory_;
    sorvane::net::StopEvent stop_; // raised once the object is going
    std::atomic<long long> sendTimeoutMs_;
    std::unique_ptr<ProbePool> pool_;
};

} // namespace sorvane::engine
