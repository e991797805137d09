#pragma once
// Root writes into read-only folders anyway: its capabilities override file permissions. For
// as long as this object lives, the calling thread does without those capabilities, so that
// permission bits stop it as they stop everyone else. Capabilities belong to each thread, so
// other threads (and the test's other processes) keep theirs. Does nothing for other users.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace sorvane::test {

class WithoutFileOverride {
public:
    WithoutFileOverride() {
        if (syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct lowered[2];
        std::memcpy(lowered, saved_, sizeof lowered);
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            lowered[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        dropped_ = syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutFileOverride() {
        if (dropped_)
            syscall(SYS_capset, &header_, saved_);
    }
    WithoutFileOverride(const WithoutFileOverride&) = delete;
    WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

} // namespace sorvane::test
