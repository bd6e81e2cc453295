#pragma once

#include <memory>
#include <string>

#include "boardsim/PtyLink.h"

namespace kf::boardsim {

// A pseudo-terminal pair whose master side we own. The slave is set raw once, so that
// nothing we send is echoed back or cooked before the program reads it; raw settings
// stay with the pty across the program's closes and reopens.
class Pty {
  public:
    // keepSlaveOpen holds a slave descriptor ourselves, so the master never sees a hangup
    // (and cannot tell when the program opens the port).
    explicit Pty(bool keepSlaveOpen);
    // Another's pseudo-terminal (a mocked device's line): its master is used, set raw and left
    // open; the program is given `name`.
    Pty(int adoptedMaster, std::string name);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Non-blocking master descriptor.
    int masterFd() const { return master_; }
    // The name the program is given: a link of this process's own (see PtyLink).
    const std::string& slavePath() const { return link_ ? link_->path() : name_; }
    // The device itself, /dev/pts/N.
    const std::string& devicePath() const { return slavePath_; }
    bool keepsSlaveOpen() const { return slave_ >= 0; }

  private:
    int master_ = -1;
    bool ownsMaster_ = true;
    int slave_ = -1;
    std::string name_;
    std::string slavePath_;
    std::unique_ptr<PtyLink> link_;
};

}  // namespace kf::boardsim
