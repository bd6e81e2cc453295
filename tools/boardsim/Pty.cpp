#include "boardsim/Pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace kf::boardsim {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Raw at 115200. A line's settings are shared by both ends, so either end may set them.
void makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        fail("tcgetattr");
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        fail("tcsetattr");
    }
}

}  // namespace

Pty::Pty(bool keepSlaveOpen) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        fail("posix_openpt");
    }
    try {
        if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
            fail("grantpt/unlockpt");
        }
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) {
            fail("ptsname_r");
        }
        slavePath_ = name;
        int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            fail("open pty slave");
        }
        try {
            makeRaw(slave);
        } catch (...) {
            close(slave);
            throw;
        }
        if (keepSlaveOpen) {
            slave_ = slave;
        } else {
            close(slave);
        }
        link_ = std::make_unique<PtyLink>(slavePath_);
    } catch (...) {
        if (slave_ >= 0) {
            close(slave_);
        }
        close(master_);
        throw;
    }
}

Pty::Pty(int adoptedMaster, std::string name)
    : master_(adoptedMaster), ownsMaster_(false), name_(std::move(name)) {
    char device[128];
    if (ptsname_r(master_, device, sizeof device) != 0) {
        fail("ptsname_r");
    }
    slavePath_ = device;
    makeRaw(master_);
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
}

Pty::~Pty() {
    link_.reset();  // the name goes first, so nobody watching it opens the next pty
    if (slave_ >= 0) {
        close(slave_);
    }
    if (ownsMaster_) {
        close(master_);
    }
}

}  // namespace kf::boardsim
