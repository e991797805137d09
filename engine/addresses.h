#pragma once
// Where partners are, as the directory said within the last minute: a line to a partner reuses
// that instead of asking the directory again before every line, as the checks of received lines
// reuse the addresses they confirmed. A presence run, a send's own lookup and a lookup before
// Enter all refresh it.
//
// User-interface thread only.
#include "engine/outbox.h"

#include <QString>

#include <chrono>
#include <map>
#include <optional>

namespace sorvane::engine {

class Addresses {
public:
    static constexpr std::chrono::seconds Life{60};
    static constexpr std::size_t MaxKept = 1024;

    // Takes the time of an address the directory has just given.
    void remember(const QString& name, const Outbox::Address& address);
    // The address said for `name` within Life, if any, marked recent.
    std::optional<Outbox::Address> fresh(const QString& name) const;
    void forget(const QString& name) { known_.erase(name); }

private:
    using Clock = std::chrono::steady_clock;
    struct Known {
        Outbox::Address address;
        Clock::time_point at;
    };
    std::map<QString, Known> known_;
};

} // namespace sorvane::engine
