#include "engine/addresses.h"

namespace sorvane::engine {

void Addresses::remember(const QString& name, const Outbox::Address& address) {
    const Clock::time_point now = Clock::now();
    if (known_.size() >= MaxKept && known_.count(name) == 0)
        std::erase_if(known_, [&](const auto& k) { return now - k.second.at > Life; });
    if (known_.size() < MaxKept || known_.count(name) != 0)
        known_[name] = Known{address, now};
}

std::optional<Outbox::Address> Addresses::fresh(const QString& name) const {
    const auto found = known_.find(name);
    if (found == known_.end() || Clock::now() - found->second.at > Life)
        return std::nullopt;
    Outbox::Address address = found->second.address;
    address.recent = true;
    return address;
}

} // namespace sorvane::engine
