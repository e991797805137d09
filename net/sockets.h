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
#include <memory>
#include <mutex>
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

    // Sends text + separator in one send call. Returns the bytes sent, or -1. A peer that has
    // gone away gives -1, never a signal.
    int SendLine(const std::string& text, const std::string& separator = "\r\n");

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

    // Longest line ReceiveLine returns, in bytes; zero means no limit. A longer line comes back
    // cut at the limit, and the rest of that connection is dropped: later ReceiveLine calls on
    // it return empty text until it is closed.
    std::size_t maxLineLength() const { return maxLineLength_; }
    void setMaxLineLength(std::size_t bytes) { maxLineLength_ = bytes; }

    void Close() override;

protected:
    std::string localHost_, localPort_, remoteHost_, remotePort_;

private:
    bool WaitForData();
    bool Consume(std::size_t count);

    std::chrono::milliseconds readTimeout_{0};
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

    // A descriptor that another thread makes readable (an eventfd) to end a connect in progress
    // at once, as a failed one, when the program is ending; -1 (the default) for none. The
    // endpoint only watches it, it never reads or closes it.
    int abortEvent() const { return abortEvent_; }
    void setAbortEvent(int fd) { abortEvent_ = fd; }

    // Creates the socket and connects it to remoteHost:remotePort. A failed connect leaves the
    // socket in place: active, not connected. Throws EConvertError for a bad port text.
    void Open() override;
    // Shuts a connection down in both directions, then closes the socket.
    void Close() override;

private:
    friend class TCustomTcpServer;
    // Takes over a socket the listener accepted.
    void Adopt(TSocket socket, std::string peerHost, std::string peerPort);
    bool ConnectBounded(const void* address, unsigned addressLength);

    bool connected_ = false;
    std::chrono::milliseconds connectTimeout_ = DefaultConnectTimeout;
    int abortEvent_ = -1;
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
class TServerSocketThread {
public:
    static constexpr std::size_t PoolLimit = 10;
    // Most connections set aside at once; beyond that the last thread waits like the others.
    static constexpr std::size_t ParkLimit = 512;

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
    bool ShouldParkLocked() const;
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
    // A parked connection to serve on the next resume, instead of accepting a new one.
    std::unique_ptr<TServerSocketThread::Parked> assigned_;
    std::condition_variable resumed_;
};

} // namespace sorvane::net
