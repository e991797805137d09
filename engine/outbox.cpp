#include "engine/outbox.h"

#include "directory/directory.h"
#include "engine/thread.h"
#include "net/sockets.h"

#include <poll.h>
#include <sys/socket.h>

namespace sorvane::engine {

Outbox::Outbox(const sorvane::directory::Directory& directory, QObject* parent)
    : QObject(parent), directory_(directory),
      sendTimeoutMs_(sorvane::net::TIpSocket::DefaultSendTimeout.count()),
      pool_(std::make_unique<ProbePool>(MaxParallelSends)) {}

Outbox::~Outbox() {
    stop_.raise();
    pool_.reset(); // waits for the sends, which the stop event ends at once
}

namespace {

sealing::Body bodyOf(const std::string& partner, const Outbox::Line& line,
                     const sealing::PublicKey& key, const Outbox::From& from) {
    return {from.name, partner, sealing::toBase64Url(key), line.id, line.time, line.text};
}

bool sealed(const Outbox::Address& address, const Outbox::From& from) {
    return address.key && from.identity;
}

} // namespace

std::string Outbox::wireLine(const std::string& partner, const Line& line, const Address& address,
                             const From& from) {
    if (!sealed(address, from))
        return line.plain;
    return '<' + from.name + "> " +
           sealing::seal(bodyOf(partner, line, *address.key, from), *from.identity, *address.key);
}

std::size_t Outbox::wireLength(const std::string& partner, const Line& line, const Address& address,
                               const From& from) {
    if (!sealed(address, from))
        return line.plain.size();
    return from.name.size() + 3 +
           sealing::sealedLength(
               sealing::encodeBody(bodyOf(partner, line, *address.key, from)).size());
}

Outbox::Address Outbox::addressOf(const sorvane::LineList& reply) {
    Address address{reply[0], reply[1], std::nullopt};
    if (reply.count() > 2)
        address.key = sealing::parsePublicKey(reply[2]);
    return address;
}

std::unique_ptr<Outbox::Ready> Outbox::makeReady(const std::string& partner, const Address& address,
                                                 const Line& line, const From& from) {
    auto ready = std::make_unique<Ready>();
    ready->client = std::make_unique<sorvane::net::TTcpClient>();
    try {
        ready->client->setRemoteHost(address.host);
        ready->client->setRemotePort(address.port);
    } catch (const std::exception&) {
        return nullptr; // a port text that is no number: nobody to reach there
    }
    if (!ready->client->StartConnect())
        return nullptr;
    ready->address = address;
    ready->line = line;
    ready->wire = wireLine(partner, line, address, from) + "\r\n";
    return ready;
}

void Outbox::send(const QString& partner, std::optional<Address> address, std::vector<Line> lines,
                  From from, std::optional<sealing::PublicKey> compared, bool throughDirectory,
                  Done done, std::unique_ptr<Ready> ready) {
    SORVANE_ASSERT_UI_THREAD();
    const bool fits = ready && address && !throughDirectory && !lines.empty() &&
                      lines.front().id == ready->line.id && address->host == ready->address.host &&
                      address->port == ready->address.port && address->key == ready->address.key &&
                      (!compared || address->key == compared);
    if (!fits) {
        ready.reset();
    } else {
        // A connect that is through takes a short line whole at once: it goes out now rather
        // than after a worker's wake-up. The worker finishes what is left, and waits until the
        // partner has taken it.
        sorvane::net::TTcpClient& client = *ready->client;
        client.setAbortEvent(stop_.fd());
        pollfd through{client.handle(), POLLOUT, 0};
        if (::poll(&through, 1, 0) == 1 && client.FinishConnect()) {
            const ssize_t n = ::send(client.handle(), ready->wire.data(), ready->wire.size(),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                ready->written = static_cast<std::size_t>(n);
        }
    }
    // A job must be copyable; the head start goes with it.
    pool_->start([this, partner = partner.toStdString(), address = std::move(address),
                  lines = std::move(lines), from = std::move(from), compared, throughDirectory,
                  done = std::move(done),
                  ready = std::shared_ptr<Ready>(std::move(ready))]() mutable {
        Result result = sendAll(partner, std::move(address), lines, from, compared,
                                throughDirectory, ready.get());
        queueOn(this, [done = std::move(done), result = std::move(result)] { done(result); });
    });
}

Outbox::Result Outbox::sendAll(const std::string& partner, std::optional<Address> address,
                               const std::vector<Line>& lines, const From& from,
                               const std::optional<sealing::PublicKey>& compared,
                               bool throughDirectory, Ready* ready) const {
    using Kind = Outcome::Kind;
    Result result;
    const auto lookUp = [&] {
        try {
            address = addressOf(directory_.sendLookup(partner, stop_.fd()));
            result.got = address;
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
    if (!address && !lookUp())
        return result; // no address now: the lines wait for the next chance
    // The user compared another key: nothing goes out to this one.
    const auto held = [&] { return compared && address->key != compared; };
    for (const Line& line : lines) {
        if ((result.held = held()))
            break;
        // Only the first line can have a head start (send() checked that it fits).
        Ready* const head = &line == &lines.front() ? ready : nullptr;
        std::string wire = head ? head->wire.substr(0, head->wire.size() - 2)
                                : wireLine(partner, line, *address, from);
        bool fellBack = false;
        if (!throughDirectory) {
            bool sent = head ? sendReady(*head) : sendDirectly(*address, wire);
            // An address of the last minute that does not answer: the directory may know
            // where the partner is now, and with what key. The same address is not tried
            // twice.
            if (!sent && address->recent) {
                const Address tried = *address;
                if (lookUp()) {
                    if ((result.held = held()))
                        break;
                    wire = wireLine(partner, line, *address, from);
                    if (address->host != tried.host || address->port != tried.port)
                        sent = sendDirectly(*address, wire);
                }
            }
            if (sent) {
                result.outcomes.push_back({Kind::Sent, false, {}});
                continue;
            }
            fellBack = true;
        }
        // Only sealed lines go through the directory, which must not read them.
        Outcome outcome{Kind::NotSent, false, {}};
        if (wire != line.plain)
            outcome = deposit(partner, *address, line, wire, from, result.logInAgain);
        outcome.fellBack = fellBack && outcome.kind == Kind::Deposited;
        result.outcomes.push_back(outcome);
        if (outcome.kind == Kind::NotSent)
            break;
        // Once one line went through the directory, the later ones follow it there, so that
        // none overtakes it.
        throughDirectory = throughDirectory || outcome.kind == Kind::Deposited;
    }
    return result;
}

std::chrono::milliseconds Outbox::sendBound(std::size_t wireBytes) const {
    // A tenth of the bound more for each 64 KiB: 10 s and a second per 64 KiB by default.
    const long long base = sendTimeoutMs_.load();
    return std::chrono::milliseconds(base +
                                     base / 10 * static_cast<long long>(wireBytes / BytesPerStep));
}

bool Outbox::sendReady(Ready& ready) const {
    sorvane::net::TTcpClient& client = *ready.client;
    const std::chrono::milliseconds bound = sendBound(ready.wire.size());
    client.setSendTimeout(bound);
    if (!client.FinishConnect()) // at once when it is through
        return false;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const std::string rest = ready.wire.substr(ready.written);
    return (rest.empty() || client.SendLine(rest, {}) == static_cast<int>(rest.size())) &&
           client.WaitUntilTaken(deadline);
}

bool Outbox::sendDirectly(const Address& address, const std::string& wire) const {
    sorvane::net::TTcpClient client;
    client.setAbortEvent(stop_.fd());
    const std::chrono::milliseconds bound = sendBound(wire.size());
    client.setSendTimeout(bound);
    try {
        client.setRemoteHost(address.host);
        client.setRemotePort(address.port);
        client.setActive(true);
    } catch (const std::exception&) {
        return false; // a port text that is no number: nobody to reach there
    }
    if (!client.connected())
        return false;
    // Sent once the partner's computer has it all: a line still in this computer's buffers
    // when the bound passes is not delivered, and waits.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool ok = client.SendLine(wire, "\r\n") == static_cast<int>(wire.size() + 2);
    ok = ok && client.WaitUntilTaken(deadline);
    return ok;
}

Outbox::Outcome Outbox::deposit(const std::string& partner, const Address& address,
                                const Line& line, const std::string& wire, const From& from,
                                bool& logInAgain) const {
    using Kind = Outcome::Kind;
    const std::string sealed = wire.substr(from.name.size() + 3);
    if (sealed.size() > MaxDeposit)
        return {Kind::NotSent, false, {}};
    sorvane::directory::Reply reply;
    try {
        reply = directory_.deposit(from.name, partner, sealing::toBase64Url(*address.key), line.id,
                                   from.token, sealed, stop_.fd());
    } catch (const std::exception&) {
        return {Kind::NotSent, false, {}}; // no answer: tried again with the same id later
    }
    const std::string first = reply.lines.count() > 0 ? reply.lines[0] : std::string();
    if (reply.status == 200 && first == "OK")
        return {Kind::Deposited, false, {}};
    if (reply.status == 403 && sorvane::directory::needsNewLogin(reply.lines)) {
        logInAgain = true;
        return {Kind::NotSent, false, {}};
    }
    // Refused for good: the same line would be refused again.
    if (reply.status == 400 || reply.status == 403 || reply.status == 404 || reply.status == 409 ||
        reply.status == 413)
        return {Kind::Refused, false,
                first.rfind("Error: ", 0) == 0 ? first.substr(7)
                                               : "refused (" + std::to_string(reply.status) + ")"};
    return {Kind::NotSent, false, {}}; // full for now, or a server that failed: tried again later
}

} // namespace sorvane::engine
