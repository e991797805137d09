// The listener, its accept-wait thread and its pool of connection threads.
#include "net/address_detail.h"
#include "net/sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace sorvane::net {

namespace {

// The server whose accept-wait or connection thread is the current thread, if any: such a
// thread cannot wait for the listener's threads to end.
thread_local const TCustomTcpServer* ownListenerThread = nullptr;

constexpr std::chrono::milliseconds kRetryPause{10};

using Clock = std::chrono::steady_clock;

} // namespace

// ---- TCustomTcpServer -------------------------------------------------------------------------

TCustomTcpServer::~TCustomTcpServer() {
    TCustomTcpServer::Close();
    ReapThreads(true);
}

TTcpServer::~TTcpServer() {
    // The threads call back into this object; they end before any part of it goes away.
    Close();
}

void TCustomTcpServer::setBlockMode(TServerSocketBlockMode mode) {
    if (mode == serverBlockMode_)
        return;
    setActive(false);
    serverBlockMode_ = mode;
    blockMode_ = mode == TServerSocketBlockMode::bmNonBlocking ? bmNonBlocking : bmBlocking;
}

void TCustomTcpServer::Open() {
    TIpSocket::Open();
    if (listening_)
        return;
    ReapThreads(false);
    sockaddr_in address{};
    const bool usable = detail::MakeAddress(localHost_, localPort_, address);
    if (!active_) {
        ReportError(EBADF);
        return;
    }
    if (!usable) {
        ReportError(EADDRNOTAVAIL);
        return;
    }
    // Lets the port be listened on again while connections of an earlier run linger in
    // TIME_WAIT. A port that another socket listens on is still refused.
    const int reuse = 1;
    ErrorCheck(setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse));
    if (ErrorCheck(bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address)) !=
            0 ||
        ErrorCheck(listen(handle_, ListenBacklog)) != 0)
        return;
    listening_ = true;
    if (serverBlockMode_ != TServerSocketBlockMode::bmThreadBlocking || thread_)
        return;
    // The threads get a descriptor of their own for the listening socket, so that closing the
    // server's handle can never leave them using a number the system has handed out again.
    const TSocket listener = ErrorCheck(fcntl(handle_, F_DUPFD_CLOEXEC, 0));
    if (listener < 0)
        return;
    thread_ = std::make_unique<TServerSocketThread>(*this, listener);
    thread_->Start();
}

void TCustomTcpServer::Close() {
    if (thread_) {
        thread_->Terminate();
        thread_->AbortConnections();
        stopping_.push_back(std::move(thread_));
    }
    listening_ = false;
    if (active_)
        shutdown(handle_, SHUT_RDWR); // wakes a thread waiting in Accept; may fail harmlessly
    TIpSocket::Close();
    ReapThreads(ownListenerThread != this);
}

void TCustomTcpServer::ReapThreads(bool all) {
    // Destroying an accept-wait thread waits for it and its pool.
    std::erase_if(stopping_, [all](const std::unique_ptr<TServerSocketThread>& thread) {
        return all || thread->finished();
    });
}

bool TCustomTcpServer::Accept(TCustomIpClient& clientSocket) {
    clientSocket.setActive(false);
    if (!AcceptOn(handle_, clientSocket))
        return false;
    DoAccept(clientSocket);
    return true;
}

bool TCustomTcpServer::AcceptOn(TSocket listener, TCustomIpClient& clientSocket) {
    Accepted accepted;
    if (!AcceptRaw(listener, accepted))
        return false;
    Adopt(clientSocket, std::move(accepted));
    return true;
}

bool TCustomTcpServer::AcceptRaw(TSocket listener, Accepted& accepted) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    TSocket socket;
    do {
        length = sizeof peer;
        socket = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (socket < 0 && errno == EINTR);
    if (socket < 0) {
        // After a close the wake-up shows as a failed accept; that is no error.
        if (listening_)
            ReportError(errno);
        return false;
    }
    accepted.socket = socket;
    accepted.at = Clock::now();
    accepted.peerHost = detail::DottedText(peer.sin_addr);
    accepted.peerPort = std::to_string(ntohs(peer.sin_port));
    return true;
}

void TCustomTcpServer::Adopt(TCustomIpClient& clientSocket, Accepted accepted) {
    clientSocket.Adopt(accepted.socket, std::move(accepted.peerHost), std::move(accepted.peerPort));
    clientSocket.setReadTimeout(connectionReadTimeout());
    clientSocket.setMaxLineLength(connectionMaxLineLength());
    const auto lineTimeout = connectionLineTimeout();
    clientSocket.setReadDeadline(lineTimeout.count() > 0 ? accepted.at + lineTimeout
                                                         : Clock::time_point::max());
}

void TCustomTcpServer::DoAccept(TCustomIpClient& clientSocket) {
    if (OnAccept)
        OnAccept(*this, clientSocket);
}

// ---- TServerSocketThread ----------------------------------------------------------------------

TServerSocketThread::TServerSocketThread(TCustomTcpServer& server, TSocket listener)
    : server_(&server), listener_(listener), wakeEvent_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TServerSocketThread::~TServerSocketThread() {
    Terminate();
    if (thread_.joinable())
        thread_.join();
    for (const std::vector<Parked>* list : {&parked_, &due_, &held_})
        for (const Parked& p : *list)
            close(p.connection.socket);
    close(listener_);
    if (wakeEvent_ >= 0)
        close(wakeEvent_);
}

void TServerSocketThread::Start() {
    if (thread_.joinable() || terminated_)
        return;
    ++server_->runningThreads_;
    thread_ = std::thread([this] { Execute(); });
}

void TServerSocketThread::Terminate() {
    {
        std::lock_guard lock(poolMutex_);
        terminated_ = true;
        poolChanged_.notify_all();
    }
    // Connection threads waiting in accept return at once, now and later.
    shutdown(listener_, SHUT_RDWR);
    Wake();
}

void TServerSocketThread::Wake() {
    if (wakeEvent_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeEvent_, &one, sizeof one);
    }
}

void TServerSocketThread::AbortConnections() {
    std::lock_guard lock(poolMutex_);
    aborting_ = true;
    for (const auto& thread : pool_)
        if (thread->connection_ != InvalidSocket)
            shutdown(thread->connection_, SHUT_RDWR);
}

std::size_t TServerSocketThread::poolSize() const {
    std::lock_guard lock(poolMutex_);
    return pool_.size();
}

std::size_t TServerSocketThread::idleCount() const {
    std::lock_guard lock(poolMutex_);
    return static_cast<std::size_t>(std::count_if(
        pool_.begin(), pool_.end(), [](const auto& thread) { return thread->suspended_; }));
}

std::size_t TServerSocketThread::parkedCount() const {
    std::lock_guard lock(poolMutex_);
    return parked_.size() + due_.size();
}

std::size_t TServerSocketThread::heldCount() const {
    std::lock_guard lock(poolMutex_);
    return held_.size();
}

bool TServerSocketThread::WaitForConnection() {
    // The listening socket, the wake-up event and every parked connection, watched together.
    // Only this thread takes entries out of parked_, so the first `watched` entries stay put.
    std::vector<pollfd> waits{{listener_, POLLIN, 0}, {wakeEvent_, POLLIN, 0}};
    Clock::time_point nearest = Clock::time_point::max();
    std::size_t watched;
    {
        std::lock_guard lock(poolMutex_);
        watched = parked_.size();
        for (const Parked& p : parked_) {
            waits.push_back({p.connection.socket, POLLIN, 0});
            nearest = std::min(nearest, p.deadline);
        }
    }
    int timeout = -1;
    if (nearest != Clock::time_point::max()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 1 << 30));
    }
    if (wakeEvent_ < 0)
        waits[1].fd = -1; // poll skips negative descriptors
    const int rc = poll(waits.data(), waits.size(), timeout);
    if (terminated_)
        return false;
    if (rc < 0) {
        if (errno != EINTR)
            std::this_thread::sleep_for(kRetryPause);
        return false;
    }
    if ((waits[1].revents & POLLIN) != 0) {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = read(wakeEvent_, &count, sizeof count);
    }
    if (watched > 0) {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(poolMutex_);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < parked_.size(); ++i) {
            Parked& p = parked_[i];
            const bool ready = i < watched && waits[2 + i].revents != 0;
            p.expired = !ready && i < watched && now >= p.deadline;
            if (ready || p.expired)
                due_.push_back(std::move(p));
            else if (kept++ != i)
                parked_[kept - 1] = std::move(p); // moving onto itself would empty its texts
        }
        parked_.resize(kept);
    }
    if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        std::this_thread::sleep_for(kRetryPause); // the listener is going away
        return false;
    }
    return (waits[0].revents & POLLIN) != 0;
}

TClientSocketThread* TServerSocketThread::PickIdleLocked() {
    // Round robin from the thread after the one picked last, so the work spreads.
    const std::size_t count = pool_.size();
    if (count == 0)
        return nullptr;
    const std::size_t start = lastPicked_ % count;
    for (std::size_t step = 1; step <= count; ++step) {
        const std::size_t at = (start + step) % count;
        if (pool_[at]->suspended_) {
            lastPicked_ = at;
            return pool_[at].get();
        }
    }
    lastPicked_ = start;
    return nullptr;
}

TClientSocketThread* TServerSocketThread::PickOrCreateLocked() {
    TClientSocketThread* picked = PickIdleLocked();
    if (picked == nullptr && pool_.size() < PoolLimit && !terminated_) {
        pool_.push_back(std::make_unique<TClientSocketThread>(*this));
        lastPicked_ = pool_.size() - 1;
        picked = pool_.back().get();
        picked->Start();
    }
    return picked;
}

bool TServerSocketThread::AnyIdleLocked() const {
    return std::any_of(pool_.begin(), pool_.end(),
                       [](const auto& thread) { return thread->suspended_; });
}

bool TServerSocketThread::ShouldParkLocked(bool addressFull) const {
    // Only the last free thread sets connections aside: with fewer connections than threads,
    // every connection goes to OnAccept at once as it always did. A silent connection from an
    // address at its limit is set aside too, rather than held: it is let go after its read
    // time-out, instead of waiting its turn to sit out that time-out on a thread.
    const bool lastThread = pool_.size() >= PoolLimit && !AnyIdleLocked();
    return (lastThread || addressFull) && parked_.size() + due_.size() + held_.size() < ParkLimit &&
           !terminated_;
}

bool TServerSocketThread::AddressFullLocked(const std::string& host) const {
    const auto found = serving_.find(host);
    return found != serving_.end() && found->second >= PerAddressLimit;
}

void TServerSocketThread::ServeLocked(TClientSocketThread& thread, const std::string& host) {
    ++serving_[host];
    thread.servingHost_ = host;
}

void TServerSocketThread::HoldLocked(Parked connection) {
    if (parked_.size() + due_.size() + held_.size() >= ParkLimit) {
        close(connection.connection.socket);
        return;
    }
    connection.expired = false;
    held_.push_back(std::move(connection));
}

TServerSocketThread::ReadyAt TServerSocketThread::NextReadyLocked() {
    // Parked connections that came due wait their turn like any other from their address.
    for (std::size_t i = 0; i < due_.size();) {
        if (AddressFullLocked(due_[i].connection.peerHost)) {
            HoldLocked(std::move(due_[i]));
            due_.erase(due_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    if (!due_.empty())
        return {&due_, 0};
    for (std::size_t i = 0; i < held_.size(); ++i)
        if (!AddressFullLocked(held_[i].connection.peerHost))
            return {&held_, i};
    return {};
}

void TServerSocketThread::Execute() {
    ownListenerThread = server_;
    while (!terminated_ && server_->listening()) {
        const bool incoming = WaitForConnection();
        std::vector<std::unique_ptr<TClientSocketThread>> ended;
        {
            std::unique_lock lock(poolMutex_);
            ended = std::move(ended_);
            ended_.clear();
            // Parked connections that are due, and held ones whose address has room again, go
            // first: they have waited longest.
            while (!terminated_) {
                const ReadyAt next = NextReadyLocked();
                if (next.list == nullptr)
                    break; // nothing, or only connections of addresses at their limit
                TClientSocketThread* picked = PickOrCreateLocked();
                if (picked == nullptr) {
                    poolChanged_.wait(lock, [this] {
                        return terminated_ || AnyIdleLocked() || pool_.size() < PoolLimit;
                    });
                    continue; // the lists may have changed meanwhile
                }
                const auto at = next.list->begin() + static_cast<std::ptrdiff_t>(next.index);
                ServeLocked(*picked, at->connection.peerHost);
                picked->assigned_ = std::make_unique<Parked>(std::move(*at));
                next.list->erase(at);
                picked->suspended_ = false;
                picked->resumed_.notify_one();
            }
            TClientSocketThread* picked = incoming ? PickOrCreateLocked() : nullptr;
            if (!incoming) {
                // Only parked connections to look after this time.
            } else if (picked != nullptr) {
                // One connection thread per pending connection: the next readiness is only
                // looked at once this one is back from its accept.
                acceptInProgress_ = true;
                picked->suspended_ = false;
                picked->resumed_.notify_one();
                poolChanged_.wait(lock, [this] { return !acceptInProgress_ || terminated_; });
            } else {
                // Every thread is serving: the connection waits in the backlog until one is
                // free.
                poolChanged_.wait(lock, [this] {
                    return terminated_ || AnyIdleLocked() || pool_.size() < PoolLimit;
                });
            }
        }
        ended.clear(); // joins threads that left the pool
        std::this_thread::yield();
    }
    EndPool();
    finished_ = true;
    --server_->runningThreads_;
}

void TServerSocketThread::EndPool() {
    shutdown(listener_, SHUT_RDWR);
    std::unique_lock lock(poolMutex_);
    for (const auto& thread : pool_) {
        thread->terminated_ = true;
        thread->resumed_.notify_one();
    }
    poolChanged_.wait(lock, [this] { return pool_.empty(); });
    std::vector<std::unique_ptr<TClientSocketThread>> ended = std::move(ended_);
    ended_.clear();
    // Connections still set aside are closed with the listener.
    for (std::vector<Parked>* list : {&parked_, &due_, &held_}) {
        for (const Parked& p : *list)
            close(p.connection.socket);
        list->clear();
    }
    lock.unlock();
    ended.clear();
}

// ---- TClientSocketThread ----------------------------------------------------------------------

TClientSocketThread::TClientSocketThread(TServerSocketThread& owner) : owner_(owner) {}

TClientSocketThread::~TClientSocketThread() {
    if (thread_.joinable())
        thread_.join();
    // A parked connection handed over just as the listener closed was never served.
    if (assigned_)
        close(assigned_->connection.socket);
}

void TClientSocketThread::Start() {
    ++owner_.server_->runningThreads_;
    thread_ = std::thread([this] { Execute(); });
}

void TClientSocketThread::Execute() {
    ownListenerThread = owner_.server_;
    {
        // Created suspended: wait for the first resume.
        std::unique_lock lock(owner_.poolMutex_);
        resumed_.wait(lock, [this] { return !suspended_ || terminated_; });
    }
    try {
        while (!terminated_) {
            ServeOne();
            Suspend();
        }
    } catch (...) {
        // The handler failed: the connection was closed on the way out, and only this thread
        // ends. The listener makes a new one when it needs it.
    }
    TCustomTcpServer* const server = owner_.server_;
    LeavePool();
    --server->runningThreads_;
}

void TClientSocketThread::ServeOne() {
    TCustomTcpServer& server = *owner_.server_;
    TCustomIpClient client;
    std::unique_ptr<TServerSocketThread::Parked> assigned;
    {
        std::lock_guard lock(owner_.poolMutex_);
        assigned = std::move(assigned_);
    }
    bool accepted = false;
    if (assigned) {
        // A parked connection: it has something to read, or its time is up.
        const bool expired = assigned->expired;
        server.Adopt(client, std::move(assigned->connection));
        if (expired)
            client.setReadTimeout(std::chrono::milliseconds(1));
        accepted = true;
        std::lock_guard lock(owner_.poolMutex_);
        if (owner_.aborting_)
            shutdown(client.handle(), SHUT_RDWR);
        connection_ = client.handle();
    } else {
        TCustomTcpServer::Accepted fresh;
        accepted = !owner_.terminated() && server.AcceptRaw(owner_.listener_, fresh);
        std::lock_guard lock(owner_.poolMutex_);
        owner_.acceptInProgress_ = false;
        if (accepted) {
            const bool addressFull = owner_.AddressFullLocked(fresh.peerHost);
            pollfd probe{fresh.socket, POLLIN, 0};
            const bool silent = poll(&probe, 1, 0) == 0;
            if (silent && owner_.ShouldParkLocked(addressFull)) {
                const auto timeout = server.connectionReadTimeout();
                owner_.parked_.push_back({std::move(fresh), timeout.count() > 0
                                                                ? Clock::now() + timeout
                                                                : Clock::time_point::max()});
                owner_.Wake(); // to watch it from now on
                accepted = false;
            } else if (addressFull) {
                // Served once that address has a connection fewer.
                owner_.HoldLocked({std::move(fresh), Clock::time_point::max()});
                accepted = false;
            } else {
                owner_.ServeLocked(*this, fresh.peerHost);
                server.Adopt(client, std::move(fresh));
                if (owner_.aborting_)
                    shutdown(client.handle(), SHUT_RDWR);
                connection_ = client.handle();
            }
        }
        owner_.poolChanged_.notify_all();
    }
    if (!accepted)
        return;
    // Forget the connection before `client` closes it, also when the handler throws.
    struct Forget {
        TClientSocketThread& thread;
        ~Forget() {
            TServerSocketThread& owner = thread.owner_;
            std::lock_guard lock(owner.poolMutex_);
            thread.connection_ = InvalidSocket;
            if (!thread.servingHost_)
                return;
            const auto count = owner.serving_.find(*thread.servingHost_);
            if (count != owner.serving_.end() && --count->second == 0)
                owner.serving_.erase(count);
            thread.servingHost_.reset();
            // A connection held for this address may be served now.
            if (!owner.held_.empty())
                owner.Wake();
        }
    } forget{*this};
    server.DoAccept(client);
}

void TClientSocketThread::Suspend() {
    std::unique_lock lock(owner_.poolMutex_);
    if (terminated_)
        return;
    suspended_ = true;
    owner_.poolChanged_.notify_all(); // the accept-wait thread may be waiting for an idle one
    resumed_.wait(lock, [this] { return !suspended_ || terminated_; });
}

void TClientSocketThread::LeavePool() {
    std::lock_guard lock(owner_.poolMutex_);
    auto& pool = owner_.pool_;
    const auto self = std::find_if(pool.begin(), pool.end(),
                                   [this](const auto& thread) { return thread.get() == this; });
    if (self != pool.end()) {
        owner_.ended_.push_back(std::move(*self));
        pool.erase(self);
    }
    owner_.poolChanged_.notify_all();
}

} // namespace sorvane::net
