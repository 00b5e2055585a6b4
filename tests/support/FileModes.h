#pragma once
// Makes file modes bind the superuser too, so a test of an unwritable folder
// sees the same refusal whoever runs it.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrel::test {

// While it lives, the calling thread loses its power to override file modes
// (CAP_DAC_OVERRIDE leaves the effective set, and comes back at the end: it
// stays permitted). For anyone without that power it changes nothing. The
// file is opened on the test's own thread, which is the one that counts.
class FileModesBindEveryone {
public:
    FileModesBindEveryone() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[CAP_TO_INDEX(CAP_DAC_OVERRIDE)].effective &= ~CAP_TO_MASK(CAP_DAC_OVERRIDE);
        ok_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~FileModesBindEveryone() {
        if (ok_) ::syscall(SYS_capset, &header_, saved_);
    }
    FileModesBindEveryone(const FileModesBindEveryone&) = delete;
    FileModesBindEveryone& operator=(const FileModesBindEveryone&) = delete;

    bool ok() const { return ok_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

} // namespace kestrel::test
