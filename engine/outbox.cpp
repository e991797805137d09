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

void Outbox::send(const QString& partner, std::optional<Address> address,
                  std::vector<std::string> lines, Done done) {
    SORVANE_ASSERT_UI_THREAD();
    pool_->start([this, partner = partner.toStdString(), address = std::move(address),
                  lines = std::move(lines), done = std::move(done)]() mutable {
        const std::size_t delivered = sendAll(partner, std::move(address), lines);
        sorvane::engine::queueOn(this, [done = std::move(done), delivered] { done(delivered); });
    });
}

std::size_t Outbox::sendAll(const std::string& partner, std::optional<Address> address,
                            const std::vector<std::string>& lines) const {
    if (!address) {
        try {
            const sorvane::LineList reply = directory_.sendLookup(partner, stop_.fd());
            address = Address{reply[0], reply[1]};
        } catch (const std::exception&) {
            return 0; // no address now: the lines wait for the next chance
        }
    }
    std::size_t delivered = 0;
    for (const std::string& line : lines) {
        sorvane::net::TTcpClient client;
        client.setAbortEvent(stop_.fd());
        client.setSendTimeout(std::chrono::milliseconds(sendTimeoutMs_.load()));
        try {
            client.setRemoteHost(address->host);
            client.setRemotePort(address->port);
            client.setActive(true);
        } catch (const std::exception&) {
            break; // a port text that is no number: nobody to reach there
        }
        if (!client.connected() ||
            client.SendLine(line, "\r\n") != static_cast<int>(line.size() + 2))
            break;
        ++delivered;
    }
    return delivered;
}

} // namespace sorvane::engine
