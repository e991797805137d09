// The endpoint base classes, the line operations and the outgoing client.
#include "net/address_detail.h"
#include "net/sockets.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

namespace sorvane::net {

void StartupSocketLayer() {}
void CleanupSocketLayer() {}

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll.
int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// Waits for `events` on `socket` until `deadline`; 1 ready, 0 timed out, -1 failed (errno).
int PollUntil(TSocket socket, short events, Clock::time_point deadline, bool unlimited) {
    for (;;) {
        pollfd entry{socket, events, 0};
        const int rc = poll(&entry, 1, unlimited ? -1 : RemainingMs(deadline));
        if (rc >= 0 || errno != EINTR)
            return rc;
    }
}

constexpr int kAborted = 2;

// PollUntil for POLLOUT that also watches `abortEvent`: kAborted once that is readable.
int PollOrAbort(TSocket socket, int abortEvent, Clock::time_point deadline, bool unlimited) {
    for (;;) {
        pollfd entries[2] = {{socket, POLLOUT, 0}, {abortEvent, POLLIN, 0}};
        const int rc = poll(entries, 2, unlimited ? -1 : RemainingMs(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc > 0 && entries[1].revents != 0)
            return kAborted;
        return rc > 0 ? 1 : rc;
    }
}

bool SetNonBlocking(TSocket socket, bool on) {
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(socket, F_SETFL, wanted) == 0;
}

} // namespace

// ---- TBaseSocket ------------------------------------------------------------------------------

TBaseSocket::~TBaseSocket() {
    TBaseSocket::Close();
}

void TBaseSocket::setActive(bool value) {
    if (value == active_)
        return;
    if (value)
        Open();
    else
        Close();
}

void TBaseSocket::setBlockMode(TSocketBlockMode mode) {
    if (mode == blockMode_)
        return;
    blockMode_ = mode;
    if (active_ && !SetNonBlocking(handle_, mode == bmNonBlocking))
        ReportError(errno);
}

int TBaseSocket::addressFamily() const {
    return AF_INET;
}
int TBaseSocket::socketType() const {
    return SOCK_STREAM;
}
int TBaseSocket::protocol() const {
    return 0;
}

void TBaseSocket::Open() {
    if (handle_ != InvalidSocket)
        return;
    // Close-on-exec: programs the messenger starts must not inherit its connections.
    handle_ = ErrorCheck(socket(addressFamily(), socketType() | SOCK_CLOEXEC, protocol()));
    if (handle_ < 0)
        handle_ = InvalidSocket;
    active_ = handle_ != InvalidSocket;
    if (active_ && blockMode_ == bmNonBlocking && !SetNonBlocking(handle_, true))
        ReportError(errno);
}

void TBaseSocket::Close() {
    if (!active_)
        return;
    ErrorCheck(close(handle_));
    handle_ = InvalidSocket;
    active_ = false;
}

int TBaseSocket::ErrorCheck(int result) {
    if (result < 0)
        ReportError(errno);
    return result;
}

void TBaseSocket::ReportError(int errorCode) {
    if (OnError)
        OnError(errorCode);
}

// ---- TIpSocket --------------------------------------------------------------------------------

void TIpSocket::setLocalHost(const std::string& host) {
    if (host == localHost_)
        return;
    setActive(false);
    localHost_ = host;
}

void TIpSocket::setLocalPort(const std::string& port) {
    if (port == localPort_)
        return;
    setActive(false);
    localPort_ = port;
}

void TIpSocket::setRemoteHost(const std::string& host) {
    if (host == remoteHost_)
        return;
    setActive(false);
    remoteHost_ = host;
}

void TIpSocket::setRemotePort(const std::string& port) {
    if (port == remotePort_)
        return;
    setActive(false);
    remotePort_ = port;
}

void TIpSocket::Close() {
    restDropped_ = false;
    TBaseSocket::Close();
}

int TIpSocket::SendLine(const std::string& text, const std::string& separator) {
    const std::string line = text + separator;
    // A blocking endpoint with a send time-out sends without blocking and waits for room in
    // between, up to the time-out; a non-blocking one makes its one attempt.
    const bool bounded = blockMode_ == bmBlocking && sendTimeout_.count() > 0;
    const Clock::time_point deadline = Clock::now() + sendTimeout_;
    std::size_t done = 0;
    for (;;) {
        // No SIGPIPE: a peer that has closed must not end the program.
        const ssize_t sent = send(handle_, line.data() + done, line.size() - done,
                                  MSG_NOSIGNAL | (bounded ? MSG_DONTWAIT : 0));
        if (sent >= 0) {
            done += static_cast<std::size_t>(sent);
            if (done == line.size() || !bounded)
                return static_cast<int>(done);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (bounded && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int rc = abortEvent_ < 0 ? PollUntil(handle_, POLLOUT, deadline, false)
                                           : PollOrAbort(handle_, abortEvent_, deadline, false);
            if (rc == 1)
                continue;
            ReportError(rc == 0 ? ETIMEDOUT : rc == kAborted ? ECANCELED : errno);
            return -1; // part of the line may have gone out; the line as a whole did not
        }
        ReportError(errno);
        return -1;
    }
}

bool TIpSocket::WaitUntilTaken(Clock::time_point deadline) {
    for (;;) {
        int unsent = 0;
        if (ioctl(handle_, SIOCOUTQ, &unsent) != 0)
            return false;
        if (unsent == 0)
            return true;
        if (Clock::now() >= deadline)
            return false;
        // Nothing signals an empty send queue: look again after a short nap, which the abort
        // event cuts short.
        const Clock::time_point nap =
            std::min(deadline, Clock::now() + std::chrono::milliseconds(2));
        if (abortEvent_ >= 0) {
            pollfd abort{abortEvent_, POLLIN, 0};
            if (poll(&abort, 1, std::max(1, RemainingMs(nap))) > 0)
                return false;
        } else {
            std::this_thread::sleep_until(nap);
        }
    }
}

bool TIpSocket::WaitForData() {
    const bool unlimited = readTimeout_.count() <= 0;
    if (unlimited && readDeadline_ == Clock::time_point::max())
        return true; // the peek itself blocks
    const Clock::time_point deadline =
        unlimited ? readDeadline_ : std::min(readDeadline_, Clock::now() + readTimeout_);
    const int rc = PollUntil(handle_, POLLIN, deadline, false);
    if (rc > 0)
        return true;
    ReportError(rc == 0 ? ETIMEDOUT : errno);
    return false;
}

bool TIpSocket::Consume(std::size_t count) {
    char sink[PeekBufferSize];
    while (count > 0) {
        const ssize_t got = recv(handle_, sink, std::min(count, sizeof sink), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got < 0)
                ReportError(errno);
            return false;
        }
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string TIpSocket::ReceiveLine(const std::string& separator) {
    std::string line;
    if (restDropped_)
        return line;
    const std::size_t limit = maxLineLength_;
    const std::string_view sep(separator);
    char buffer[PeekBufferSize];
    std::size_t taken = 0;      // bytes of this line removed from the socket
    std::size_t streamTail = 0; // bytes at the end of `line` that are exactly the last ones taken

    const auto dropRest = [&] {
        if (line.size() > limit)
            line.resize(limit);
        restDropped_ = true;
        return line;
    };
    // The text so far, when reading stops early. Up to a separator's length less one byte
    // over the limit may have been held back in case a separator followed; never more than
    // the limit is returned.
    const auto gathered = [&] { return limit != 0 && line.size() > limit ? dropRest() : line; };

    for (;;) {
        if (!WaitForData())
            return gathered();
        ssize_t peeked;
        do {
            peeked = recv(handle_, buffer, PeekWindow, MSG_PEEK);
        } while (peeked < 0 && errno == EINTR);
        if (peeked <= 0) {
            if (peeked < 0)
                ReportError(errno);
            return gathered(); // end of stream or failure: the text so far
        }
        const auto count = static_cast<std::size_t>(peeked);
        buffer[count] = '\0';
        // The peeked bytes are searched as a zero-terminated text.
        const std::string_view text(buffer, std::strlen(buffer));

        // The separator's first bytes may have ended the previous peek: line ends with a head
        // of the separator and this peek starts with the rest.
        const std::size_t longestHead = sep.empty() ? 0 : sep.size() - 1;
        for (std::size_t head = std::min(longestHead, streamTail); head > 0; --head) {
            if (std::string_view(line).substr(line.size() - head) == sep.substr(0, head) &&
                text.substr(0, sep.size() - head) == sep.substr(head)) {
                line.resize(line.size() - head);
                if (limit != 0 && taken - head > limit)
                    return dropRest();
                Consume(sep.size() - head);
                return line;
            }
        }

        const std::size_t at = text.find(sep);
        if (at != std::string_view::npos) {
            if (limit != 0 && taken + at > limit) {
                line.append(text.substr(0, at));
                return dropRest();
            }
            // Exactly up to and including the separator: what follows stays in the socket.
            if (Consume(at + sep.size()))
                line.append(text.substr(0, at));
            return line;
        }

        if (!Consume(count))
            return gathered();
        line.append(text);
        taken += count;
        streamTail = text.size() == count ? streamTail + count : 0;
        // Leave room for a separator head at the very end before calling the line too long.
        if (limit != 0 && taken >= limit + sep.size())
            return dropRest();
    }
}

// ---- TCustomIpClient --------------------------------------------------------------------------

TCustomIpClient::~TCustomIpClient() {
    TCustomIpClient::Close();
}

void TCustomIpClient::Open() {
    if (StartConnect())
        FinishConnect();
}

bool TCustomIpClient::StartConnect() {
    TIpSocket::Open();
    if (!active_ || connected_)
        return false;
    if (connecting_)
        return true;
    sockaddr_in address{};
    // Neither an unknown host nor 0.0.0.0 is somewhere to connect to (the platform would take
    // 0.0.0.0 for this machine).
    if (!detail::MakeAddress(remoteHost_, remotePort_, address) ||
        address.sin_addr.s_addr == htonl(INADDR_ANY)) {
        ReportError(EADDRNOTAVAIL);
        return false;
    }
    // Connect without blocking; FinishConnect waits for the outcome at most connectTimeout_, so
    // that an address that never answers costs seconds, not the minutes of the platform's own
    // limit.
    if (!SetNonBlocking(handle_, true)) {
        ReportError(errno);
        return false;
    }
    connectError_ = 0;
    if (connect(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        connectError_ = errno;
    connecting_ = true;
    return true;
}

bool TCustomIpClient::FinishConnect() {
    if (!connecting_)
        return connected_;
    connecting_ = false;
    int error = connectError_;
    if (error == EINPROGRESS || error == EINTR) {
        const bool unlimited = connectTimeout_.count() <= 0;
        const int rc =
            abortEvent_ < 0
                ? PollUntil(handle_, POLLOUT, Clock::now() + connectTimeout_, unlimited)
                : PollOrAbort(handle_, abortEvent_, Clock::now() + connectTimeout_, unlimited);
        if (rc == 0) {
            error = ETIMEDOUT;
        } else if (rc < 0) {
            error = errno;
        } else if (rc == kAborted) {
            error = ECANCELED;
        } else {
            socklen_t length = sizeof error;
            if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
                error = errno;
        }
    }
    if (blockMode_ == bmBlocking && !SetNonBlocking(handle_, false) && error == 0)
        error = errno;
    if (error != 0) {
        ReportError(error);
        return false;
    }
    connected_ = true;
    return true;
}

void TCustomIpClient::Close() {
    if (connected_) {
        ErrorCheck(shutdown(handle_, SHUT_RDWR));
        connected_ = false;
    }
    connecting_ = false;
    TIpSocket::Close();
}

void TCustomIpClient::Adopt(TSocket socket, std::string peerHost, std::string peerPort) {
    handle_ = socket;
    active_ = true;
    connected_ = true;
    blockMode_ = bmBlocking;
    remoteHost_ = std::move(peerHost);
    remotePort_ = std::move(peerPort);
}

} // namespace sorvane::net
