#pragma once
// Line-oriented IPv4 TCP endpoints: the outgoing client, the listener that serves every accepted
// connection on a pooled connection thread, and the line operations both of them offer.
//
// Socket calls never throw. A failed call hands the platform's error code to OnError (when one
// is assigned) and shows otherwise only in the state (`active()`, `connected()`, `listening()`)
// or in an operation's result (-1 from SendLine, the text gathered so far from ReceiveLine).
// The one exception an endpoint raises is EConvertError, for a port text that is neither a
// service name nor a decimal number; it is thrown while opening, after the socket was created.
#include "net/address.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace sorvane::net {

// A failed process-wide start or stop of the socket layer, on platforms that have one.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The socket layer needs no process-wide start or stop on POSIX systems: these do nothing and
// never throw here. They exist so that start-up code can call them on every platform.
void StartupSocketLayer();
void CleanupSocketLayer();

enum TSocketBlockMode { bmBlocking, bmNonBlocking };

// The listener's mode. Only ThreadBlocking starts the accept-wait thread and the connection
// pool; in the other two modes the owner calls Accept itself.
enum class TServerSocketBlockMode { bmBlocking, bmNonBlocking, bmThreadBlocking };

using TSocket = int;
inline constexpr TSocket InvalidSocket = -1;

class TBaseSocket {
public:
    TBaseSocket() = default;
    TBaseSocket(const TBaseSocket&) = delete;
    TBaseSocket& operator=(const TBaseSocket&) = delete;
    virtual ~TBaseSocket();

    bool active() const { return active_; }
    // Setting the current value does nothing; true opens, false closes.
    void setActive(bool value);

    TSocketBlockMode blockMode() const { return blockMode_; }
    // Also switches an open socket.
    void setBlockMode(TSocketBlockMode mode);

    TSocket handle() const { return handle_; }
    int addressFamily() const;
    int socketType() const;
    int protocol() const;

    // Creates the socket unless one exists. Derived endpoints add their part (connect, listen).
    virtual void Open();
    // Closes and forgets the socket. Derived endpoints first end their part.
    virtual void Close();

    // Called with the platform's error code (errno) of every failed socket call; for a
    // listener also on its connection threads, when an accept fails while it listens.
    std::function<void(int errorCode)> OnError;

protected:
    // Passes `result` through; a negative one reports errno to OnError on the way.
    int ErrorCheck(int result);
    void ReportError(int errorCode);

    TSocket handle_ = InvalidSocket;
    bool active_ = false;
    TSocketBlockMode blockMode_ = bmBlocking;
};

class TIpSocket : public TBaseSocket {
public:
    // ReceiveLine looks at the socket through a window of this many bytes at a time.
    static constexpr std::size_t PeekWindow = 511;
    static constexpr std::size_t PeekBufferSize = PeekWindow + 1;

    const std::string& localHost() const { return localHost_; }
    const std::string& localPort() const { return localPort_; }
    const std::string& remoteHost() const { return remoteHost_; }
    const std::string& remotePort() const { return remotePort_; }
    // A text different from the stored one closes the endpoint first; an equal one changes
    // nothing.
    void setLocalHost(const std::string& host);
    void setLocalPort(const std::string& port);
    void setRemoteHost(const std::string& host);
    void setRemotePort(const std::string& port);

    // How long SendLine may take on a blocking endpoint: a partner whose host vanished while a
    // long line was going out stops taking bytes, and the send would otherwise wait for the
    // system's own retransmission limit (many minutes).
    static constexpr std::chrono::milliseconds DefaultSendTimeout{10000};

    // Sends text + separator, in one send call when the system takes it whole (it always does
    // for a line that fits its buffers). Returns the bytes sent, or -1: also when the line could
    // not go out whole within the send time-out. A peer that has gone away gives -1, never a
    // signal.
    int SendLine(const std::string& text, const std::string& separator = "\r\n");
    // Waits until the peer's system has taken (acknowledged) everything sent so far, which a
    // peer that stopped reading never does; false when `deadline` or the abort event comes
    // first. What sits in this computer's buffers has not reached anybody yet.
    bool WaitUntilTaken(std::chrono::steady_clock::time_point deadline);

    // Zero waits as long as the system does.
    std::chrono::milliseconds sendTimeout() const { return sendTimeout_; }
    void setSendTimeout(std::chrono::milliseconds timeout) { sendTimeout_ = timeout; }

    // A descriptor that another thread makes readable (an eventfd) to end a connect or a
    // SendLine in progress at once, as a failed one, when the program is ending; -1 (the
    // default) for none. The endpoint only watches it, it never reads or closes it.
    int abortEvent() const { return abortEvent_; }
    void setAbortEvent(int fd) { abortEvent_ = fd; }

    // Reads up to the separator and returns the text before it, leaving every byte after the
    // separator in the socket. A separator that arrives in two pieces is still found. A zero
    // byte ends the text of the bytes looked at together with it; those bytes are consumed and
    // reading goes on. On end of stream, an error, the read time-out or the line length limit,
    // what was gathered so far is returned.
    std::string ReceiveLine(const std::string& separator = "\r\n");

    // Longest wait for the next byte inside ReceiveLine; zero waits without limit (the default
    // for an endpoint made by hand; the listener sets its own limit on accepted connections).
    std::chrono::milliseconds readTimeout() const { return readTimeout_; }
    void setReadTimeout(std::chrono::milliseconds timeout) { readTimeout_ = timeout; }

    // The moment after which ReceiveLine waits for no further byte, however often bytes came
    // before: a peer that drips its line a byte at a time is cut off there. The listener sets
    // it on every accepted connection; the default is no such moment.
    std::chrono::steady_clock::time_point readDeadline() const { return readDeadline_; }
    void setReadDeadline(std::chrono::steady_clock::time_point at) { readDeadline_ = at; }

    // Longest line ReceiveLine returns, in bytes; zero means no limit. A longer line comes back
    // cut at the limit, and the rest of that connection is dropped: later ReceiveLine calls on
    // it return empty text until it is closed.
    std::size_t maxLineLength() const { return maxLineLength_; }
    void setMaxLineLength(std::size_t bytes) { maxLineLength_ = bytes; }

    void Close() override;

protected:
    std::string localHost_, localPort_, remoteHost_, remotePort_;
    int abortEvent_ = -1;

private:
    bool WaitForData();
    bool Consume(std::size_t count);

    std::chrono::milliseconds readTimeout_{0};
    std::chrono::steady_clock::time_point readDeadline_ =
        std::chrono::steady_clock::time_point::max();
    std::chrono::milliseconds sendTimeout_ = DefaultSendTimeout;
    std::size_t maxLineLength_ = 0;
    bool restDropped_ = false; // a line ran past maxLineLength
};

class TCustomIpClient : public TIpSocket {
public:
    // How long a connect may take before it counts as failed.
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{3000};

    TCustomIpClient() = default;
    ~TCustomIpClient() override;

    bool connected() const { return connected_; }

    std::chrono::milliseconds connectTimeout() const { return connectTimeout_; }
    // Zero waits as long as the platform does.
    void setConnectTimeout(std::chrono::milliseconds timeout) { connectTimeout_ = timeout; }

    // Creates the socket and connects it to remoteHost:remotePort. A failed connect leaves the
    // socket in place: active, not connected. Throws EConvertError for a bad port text.
    void Open() override;
    // Open in two halves, so that a connect can run while its thread does something else:
    // StartConnect creates the socket and starts the connect without waiting (false when
    // nothing was started: a bad address, or already connected); FinishConnect waits for its
    // outcome, at most the connect time-out from then, and returns connected().
    bool StartConnect();
    bool FinishConnect();
    // Shuts a connection down in both directions, then closes the socket.
    void Close() override;

private:
    friend class TCustomTcpServer;
    // Takes over a socket the listener accepted.
    void Adopt(TSocket socket, std::string peerHost, std::string peerPort);
    bool connected_ = false;
    bool connecting_ = false; // started, outcome not yet looked at
    int connectError_ = 0;    // what the connect call said
    std::chrono::milliseconds connectTimeout_ = DefaultConnectTimeout;
};

class TTcpClient : public TCustomIpClient {};

class TServerSocketThread;
class TClientSocketThread;

// Like every endpoint, a server is driven by one thread at a time (open, close, setters); its
// accept-wait and connection threads synchronise with that thread internally.
class TCustomTcpServer : public TIpSocket {
public:
    using TSocketAcceptEvent =
        std::function<void(TCustomTcpServer& sender, TCustomIpClient& clientSocket)>;

    // Limits on every accepted connection's ReceiveLine: a peer that connects and never sends,
    // or sends without end, cannot hold a connection thread or memory for ever.
    static constexpr std::chrono::milliseconds DefaultConnectionReadTimeout{5000};
    static constexpr std::size_t DefaultConnectionMaxLineLength = std::size_t{1} << 20;
    // The whole line must be there this long after the connection was accepted: a peer that
    // sends a byte every few seconds never trips the read time-out, but it cannot hold a
    // connection thread for longer than this.
    static constexpr std::chrono::milliseconds DefaultConnectionLineTimeout{30000};
    // As deep a queue of waiting connections as the system allows: with only a handful, a
    // burst of senders overflows it, their connects stall for a second or more and lines that
    // a sender already counted as sent never arrive.
    static constexpr int ListenBacklog = SOMAXCONN;

    TCustomTcpServer() = default;
    // Closes, which ends every thread of the listener. Not from inside its own OnAccept.
    ~TCustomTcpServer() override;

    bool listening() const { return listening_.load(); }

    TServerSocketBlockMode blockMode() const { return serverBlockMode_; }
    // A different mode closes an open server first.
    void setBlockMode(TServerSocketBlockMode mode);

    // Creates the socket, binds it to localHost:localPort and listens; in ThreadBlocking mode
    // also starts the accept-wait thread. A failed bind or listen leaves the server active but
    // not listening and without a thread. Throws EConvertError for a bad port text.
    void Open() override;
    // Stops listening and ends every thread of the listener before it returns: the waiting
    // ones are woken, and connections being served are shut down so that their handlers come
    // back at once. Called from inside a handler, it only tells the threads to end.
    void Close() override;

    // For the modes without threads: waits for one connection and hands it to OnAccept on the
    // calling thread. Returns false when no connection was accepted.
    bool Accept(TCustomIpClient& clientSocket);

    // The running accept-wait thread, or null.
    TServerSocketThread* serverSocketThread() const { return thread_.get(); }
    // Accept-wait and connection threads of this server that have not ended yet.
    std::size_t runningThreadCount() const { return runningThreads_.load(); }

    std::chrono::milliseconds connectionReadTimeout() const {
        return std::chrono::milliseconds(connectionReadTimeoutMs_.load());
    }
    void setConnectionReadTimeout(std::chrono::milliseconds timeout) {
        connectionReadTimeoutMs_ = timeout.count();
    }
    std::size_t connectionMaxLineLength() const { return connectionMaxLineLength_.load(); }
    void setConnectionMaxLineLength(std::size_t bytes) { connectionMaxLineLength_ = bytes; }
    // Zero sets no such bound.
    std::chrono::milliseconds connectionLineTimeout() const {
        return std::chrono::milliseconds(connectionLineTimeoutMs_.load());
    }
    void setConnectionLineTimeout(std::chrono::milliseconds timeout) {
        connectionLineTimeoutMs_ = timeout.count();
    }

    // Called on a connection thread for every accepted connection, possibly on several threads
    // at once. The connection is closed when the handler returns; do not keep the reference.
    // Assign it before opening; an exception from it ends that connection thread only.
    TSocketAcceptEvent OnAccept;

protected:
    // The accept notification; calls OnAccept.
    virtual void DoAccept(TCustomIpClient& clientSocket);

private:
    friend class TServerSocketThread;
    friend class TClientSocketThread;
    // A connection taken from the listening socket and not yet handed to OnAccept.
    struct Accepted {
        TSocket socket = InvalidSocket;
        std::string peerHost, peerPort;
        std::chrono::steady_clock::time_point at; // when it was accepted
    };
    // Accepts one connection on `listener` into `clientSocket`, with this server's limits.
    bool AcceptOn(TSocket listener, TCustomIpClient& clientSocket);
    bool AcceptRaw(TSocket listener, Accepted& accepted);
    void Adopt(TCustomIpClient& clientSocket, Accepted accepted);
    void ReapThreads(bool all);

    std::atomic<bool> listening_{false};
    TServerSocketBlockMode serverBlockMode_ = TServerSocketBlockMode::bmThreadBlocking;
    std::unique_ptr<TServerSocketThread> thread_;
    // Accept-wait threads told to stop but not yet joined: only when Close ran on one of the
    // listener's own threads, which cannot wait for itself.
    std::vector<std::unique_ptr<TServerSocketThread>> stopping_;
    std::atomic<std::size_t> runningThreads_{0};
    std::atomic<long long> connectionReadTimeoutMs_{DefaultConnectionReadTimeout.count()};
    std::atomic<std::size_t> connectionMaxLineLength_{DefaultConnectionMaxLineLength};
    std::atomic<long long> connectionLineTimeoutMs_{DefaultConnectionLineTimeout.count()};
};

class TTcpServer : public TCustomTcpServer {
public:
    ~TTcpServer() override;
};

// The accept-wait thread: waits until the listening socket has a connection, then resumes an
// idle connection thread (or makes a new one, up to PoolLimit) to accept and serve it. It never
// accepts a connection itself.
//
// Silent connections cannot starve the pool: when the last free connection thread accepts a
// connection that has sent nothing yet, it sets it aside ("parks" it) and goes back for the
// next one. The accept-wait thread watches the parked connections along with the listening
// socket and hands each one to a connection thread once it has something to read, has been
// closed, or has waited the read time-out (OnAccept then sees it as a silent peer, at once).
//
// One misbehaving host cannot take the whole pool either: at most PerAddressLimit connections
// from one source address are served at once. A further connection from that address is held
// (accepted, not yet served) until one of that address's connections ends; the thread that
// served it then takes the oldest held one of an address under its limit.
class TServerSocketThread {
public:
    static constexpr std::size_t PoolLimit = 10;
    // Most connections set aside at once (parked and held together); beyond that the last
    // thread waits like the others, and a connection from an address at its limit is closed.
    static constexpr std::size_t ParkLimit = 512;
    static constexpr std::size_t PerAddressLimit = 3;

    // Created suspended; `listener` is a socket of its own on the server's listening socket and
    // is closed with the thread.
    TServerSocketThread(TCustomTcpServer& server, TSocket listener);
    TServerSocketThread(const TServerSocketThread&) = delete;
    TServerSocketThread& operator=(const TServerSocketThread&) = delete;
    // Tells the thread to stop and waits for it and its pool.
    ~TServerSocketThread();

    void Start();
    // Tells the thread and its pool to stop and wakes every one that waits on the listener.
    void Terminate();
    // Shuts down every connection being served, now and from now on.
    void AbortConnections();

    bool terminated() const { return terminated_.load(); }
    bool finished() const { return finished_.load(); }
    TCustomTcpServer* server() const { return server_; }
    std::size_t poolSize() const;
    // Connection threads of the pool that wait to be resumed.
    std::size_t idleCount() const;
    // Accepted connections set aside until they send something.
    std::size_t parkedCount() const;
    // Accepted connections waiting for their address to fall below its limit.
    std::size_t heldCount() const;

private:
    friend class TClientSocketThread;
    struct Parked {
        TCustomTcpServer::Accepted connection;
        std::chrono::steady_clock::time_point deadline;
        bool expired = false; // waited the whole read time-out without a byte
    };
    void Execute();
    bool WaitForConnection();
    TClientSocketThread* PickIdleLocked();
    // An idle thread, or a new one while the pool is below its limit; null when neither.
    TClientSocketThread* PickOrCreateLocked();
    bool AnyIdleLocked() const;
    // Whether a thread that just accepted a silent connection should set it aside.
    bool ShouldParkLocked(bool addressFull) const;
    bool AddressFullLocked(const std::string& host) const;
    // Counts `thread` as serving a connection from `host`, until it forgets the connection.
    void ServeLocked(TClientSocketThread& thread, const std::string& host);
    // Sets a connection from an address at its limit aside until the address has room; closes
    // it when too many are set aside already.
    void HoldLocked(Parked connection);
    // Where the next connection set aside to serve is: the oldest due parked one, else the
    // oldest held one whose address is below its limit; no list when there is none. Due ones
    // of an address at its limit are moved to the held ones on the way.
    struct ReadyAt {
        std::vector<Parked>* list = nullptr;
        std::size_t index = 0;
    };
    ReadyAt NextReadyLocked();
    void Wake();
    void EndPool();

    TCustomTcpServer* const server_;
    const TSocket listener_;
    int wakeEvent_ = -1;
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};

    mutable std::mutex poolMutex_;
    std::condition_variable poolChanged_;
    std::vector<std::unique_ptr<TClientSocketThread>> pool_;
    std::vector<std::unique_ptr<TClientSocketThread>> ended_; // left the pool, to be joined
    std::size_t lastPicked_ = 0;
    bool acceptInProgress_ = false; // a resumed thread has not come back from accept yet
    bool aborting_ = false;
    // Appended by connection threads, taken out only by the accept-wait thread.
    std::vector<Parked> parked_;
    // Parked connections that are due to be served, oldest first.
    std::vector<Parked> due_;
    // Connections from an address that was at its limit, oldest first.
    std::vector<Parked> held_;
    // Connections being served (or handed to a thread to be served), per source address.
    std::map<std::string, std::size_t> serving_;
};

// A connection thread: accepts one connection, calls the server's OnAccept with it, closes it,
// and suspends until its accept-wait thread resumes it for the next one.
class TClientSocketThread {
public:
    explicit TClientSocketThread(TServerSocketThread& owner);
    TClientSocketThread(const TClientSocketThread&) = delete;
    TClientSocketThread& operator=(const TClientSocketThread&) = delete;
    ~TClientSocketThread();

private:
    friend class TServerSocketThread;
    void Start();
    void Execute();
    void ServeOne();
    void Suspend();
    void LeavePool();

    TServerSocketThread& owner_;
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    // Guarded by the owner's pool mutex.
    bool suspended_ = true;
    TSocket connection_ = InvalidSocket;
    // The address this thread is counted under in the owner's serving_, while it is.
    std::optional<std::string> servingHost_;
    // A parked connection to serve on the next resume, instead of accepting a new one.
    std::unique_ptr<TServerSocketThread::Parked> assigned_;
    std::condition_variable resumed_;
};

} // namespace sorvane::net
