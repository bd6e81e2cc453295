#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kf::test {

// While it lives, this thread meets devices as an ordinary user does, also when the tests run
// as root: file permissions hold for it, and so does a line's exclusive mode (TIOCEXCL), which
// only CAP_SYS_ADMIN passes. The kernel itself then refuses what it would refuse the user.
class AsOrdinaryUser {
  public:
    AsOrdinaryUser() {
        ok_ = ::syscall(SYS_capget, &header_, saved_) == 0;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &=
            ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH) | (1U << CAP_SYS_ADMIN));
        ok_ = ok_ && ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~AsOrdinaryUser() { ::syscall(SYS_capset, &header_, saved_); }
    AsOrdinaryUser(const AsOrdinaryUser&) = delete;
    AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;
    bool ok() const { return ok_; }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

}  // namespace kf::test
