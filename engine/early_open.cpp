#include "engine/early_open.h"

namespace sorvane::engine {

void EarlyOpener::setIdentity(std::shared_ptr<const sealing::Identity> identity) {
    std::lock_guard lock(mutex_);
    identity_ = std::move(identity);
    pins_.clear();
}

void EarlyOpener::setPin(const std::string& name, const std::optional<sealing::PublicKey>& key) {
    std::lock_guard lock(mutex_);
    if (!key)
        pins_.erase(name);
    else if (pins_.size() < MaxPins || pins_.count(name) != 0)
        pins_[name] = *key;
}

std::optional<EarlyOpener::Opened> EarlyOpener::open(const std::string& line) const {
    // "<" sender "> " sealed text, the sender as far as the first ">".
    const std::size_t end = line.find('>');
    if (line.empty() || line.front() != '<' || end == std::string::npos ||
        line.compare(end, 2, "> ") != 0 ||
        line.compare(end + 2, std::string_view(sealing::Prefix).size(), sealing::Prefix) != 0)
        return std::nullopt;
    Opened opened{line.substr(1, end - 1), {}, std::nullopt, std::nullopt};
    std::shared_ptr<const sealing::Identity> identity;
    {
        std::lock_guard lock(mutex_);
        identity = identity_;
        const auto pin = pins_.find(opened.sender);
        if (pin != pins_.end())
            opened.signer = pin->second;
    }
    if (!identity)
        return std::nullopt;
    std::optional<std::string> message =
        sealing::open(std::string_view(line).substr(end + 2), *identity);
    if (!message)
        return std::nullopt; // the user-interface thread says so
    opened.signedMessage = std::move(*message);
    if (opened.signer)
        opened.body = sealing::verify(opened.signedMessage, *opened.signer);
    return opened;
}

} // namespace sorvane::engine
