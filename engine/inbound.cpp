#include "engine/inbound.h"

#include <utility>

namespace sorvane::engine {

bool InboundText::append(ReceivedLine line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    return lines_.size() == 1;
}

std::deque<ReceivedLine> InboundText::takeAll() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
}

void InboundText::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

} // namespace sorvane::engine
