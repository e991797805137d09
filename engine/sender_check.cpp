#include "engine/sender_check.h"

#include "directory/directory.h"
#include "directory/errors.h"
#include "engine/thread.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <memory>
#include <system_error>

namespace sorvane::engine {

std::vector<std::string> registeredAddresses(const std::string& host,
                                             std::chrono::milliseconds bound) {
    in_addr address{};
    char dotted[INET_ADDRSTRLEN];
    if (inet_pton(AF_INET, host.c_str(), &address) == 1)
        return {inet_ntop(AF_INET, &address, dotted, sizeof dotted)};
    if (host.empty())
        return {};
    // The resolver sets no time limit of its own; its thread is left to finish by itself when
    // it takes longer than `bound`.
    struct Resolution {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<std::string> addresses;
    };
    const auto resolution = std::make_shared<Resolution>();
    try {
        std::thread([resolution, host] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            std::vector<std::string> addresses;
            if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
                for (const addrinfo* a = found; a; a = a->ai_next) {
                    char text[INET_ADDRSTRLEN];
                    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
                    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
                        addresses.emplace_back(text);
                }
                freeaddrinfo(found);
            }
            std::lock_guard lock(resolution->mutex);
            resolution->addresses = std::move(addresses);
            resolution->finished = true;
            resolution->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return {};
    }
    std::unique_lock lock(resolution->mutex);
    resolution->done.wait_for(lock, bound, [&] { return resolution->finished; });
    return resolution->addresses;
}

QString senderNote(const QString& sender, const std::string& from,
                   const SenderAddress& registered) {
    switch (registered.kind) {
    case SenderAddress::Kind::DirectoryDown:
        return QStringLiteral("(not verified: the directory could not be reached)");
    case SenderAddress::Kind::Registered:
        if (std::find(registered.addresses.begin(), registered.addresses.end(), from) !=
            registered.addresses.end())
            return {};
        break;
    case SenderAddress::Kind::Unregistered:
        break;
    }
    return QStringLiteral("(not verified: this line came from %1, not from %2's address)")
        .arg(QString::fromStdString(from), sender);
}

SenderLookups::SenderLookups(const sorvane::directory::Directory& directory, QObject* parent)
    : QObject(parent), directory_(directory) {}

SenderLookups::~SenderLookups() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    asked_.notify_all();
    stop_.raise();
    if (worker_.joinable())
        worker_.join();
}

void SenderLookups::ask(const QString& name, Urgency urgency) {
    SORVANE_ASSERT_UI_THREAD();
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            SenderAddress unknown;
            unknown.kind = SenderAddress::Kind::DirectoryDown;
            emit answered(name, unknown);
            return;
        }
    }
    {
        std::lock_guard lock(mutex_);
        const auto asked = urgencyOf_.find(name);
        if (asked != urgencyOf_.end()) {
            if (asked->second <= urgency)
                return;
            std::deque<QString>& before = waiting_[static_cast<std::size_t>(asked->second)];
            before.erase(std::find(before.begin(), before.end(), name));
        }
        urgencyOf_[name] = urgency;
        waiting_[static_cast<std::size_t>(urgency)].push_back(name);
    }
    asked_.notify_one();
}

void SenderLookups::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        asked_.wait(lock, [this] {
            return stopping_ || std::any_of(waiting_.begin(), waiting_.end(),
                                            [](const auto& q) { return !q.empty(); });
        });
        if (stopping_)
            return;
        std::deque<QString>& next = *std::find_if(waiting_.begin(), waiting_.end(),
                                                  [](const auto& q) { return !q.empty(); });
        const QString name = next.front();
        next.pop_front();
        urgencyOf_.erase(name);
        lock.unlock();
        SenderAddress address = lookUp(name);
        lock.lock();
        if (stopping_)
            return;
        sorvane::engine::queueOn(
            this, [this, name, address = std::move(address)] { emit answered(name, address); });
    }
}

SenderAddress SenderLookups::lookUp(const QString& name) const {
    SenderAddress address;
    try {
        const sorvane::LineList reply = directory_.sendLookup(name.toStdString(), stop_.fd());
        address.addresses =
            registeredAddresses(reply.count() > 0 ? reply[0] : std::string(), ResolveBound);
        address.kind = address.addresses.empty() ? SenderAddress::Kind::Unregistered
                                                 : SenderAddress::Kind::Registered;
        if (reply.count() > 2)
            address.key = sealing::parsePublicKey(reply[2]);
    } catch (const std::exception&) {
        // The directory out of reach or failing (a server error, a refusal, a page that is not
        // its reply), or the scratch file it answers into unusable: the check could not be made.
        address.kind = SenderAddress::Kind::DirectoryDown;
    }
    return address;
}

} // namespace sorvane::engine
