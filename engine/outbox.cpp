#include "engine/outbox.h"

#include "directory/directory.h"
#include "engine/thread.h"
#include "net/sockets.h"

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

void Outbox::send(const QString& partner, std::optional<Address> address, std::vector<Line> lines,
                  From from, std::optional<sealing::PublicKey> compared, Done done) {
    SORVANE_ASSERT_UI_THREAD();
    pool_->start([this, partner = partner.toStdString(), address = std::move(address),
                  lines = std::move(lines), from = std::move(from), compared,
                  done = std::move(done)]() mutable {
        Result result = sendAll(partner, std::move(address), lines, from, compared);
        queueOn(this, [done = std::move(done), result = std::move(result)] { done(result); });
    });
}

Outbox::Result Outbox::sendAll(const std::string& partner, std::optional<Address> address,
                               const std::vector<Line>& lines, const From& from,
                               const std::optional<sealing::PublicKey>& compared) const {
    Result result;
    if (!address) {
        try {
            const sorvane::LineList reply = directory_.sendLookup(partner, stop_.fd());
            address = Address{reply[0], reply[1], std::nullopt};
            if (reply.count() > 2)
                address->key = sealing::parsePublicKey(reply[2]);
            result.got = address;
        } catch (const std::exception&) {
            return result; // no address now: the lines wait for the next chance
        }
    }
    if (compared && address->key != compared) {
        result.held = true; // the user compared another key: nothing goes out to this one
        return result;
    }
    for (const Line& line : lines) {
        const std::string wire = wireLine(partner, line, *address, from);
        sorvane::net::TTcpClient client;
        client.setAbortEvent(stop_.fd());
        // A tenth of the bound more for each 64 KiB: 10 s and a second per 64 KiB by default.
        const long long base = sendTimeoutMs_.load();
        const std::chrono::milliseconds bound(
            base + base / 10 * static_cast<long long>(wire.size() / BytesPerStep));
        client.setSendTimeout(bound);
        try {
            client.setRemoteHost(address->host);
            client.setRemotePort(address->port);
            client.setActive(true);
        } catch (const std::exception&) {
            break; // a port text that is no number: nobody to reach there
        }
        if (!client.connected())
            break;
        // Sent once the partner's computer has it all: a line still in this computer's buffers
        // when the bound passes is not delivered, and waits.
        const auto deadline = std::chrono::steady_clock::now() + bound;
        if (client.SendLine(wire, "\r\n") != static_cast<int>(wire.size() + 2) ||
            !client.WaitUntilTaken(deadline))
            break;
        ++result.delivered;
    }
    return result;
}

} // namespace sorvane::engine
