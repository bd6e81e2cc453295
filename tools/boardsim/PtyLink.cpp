#include "boardsim/PtyLink.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace kf::boardsim {
namespace {

// The process's folder of links, made on first use and removed when the process ends.
class LinkFolder {
  public:
    const std::string& path() {
        std::call_once(made_, [this] {
            char name[] = "/tmp/kf-ports.XXXXXX";
            if (::mkdtemp(name) == nullptr) {
                throw std::system_error(errno, std::generic_category(), "mkdtemp");
            }
            path_ = name;
        });
        return path_;
    }
    ~LinkFolder() {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }

  private:
    std::once_flag made_;
    std::string path_;
};

LinkFolder& folder() {
    static LinkFolder f;
    return f;
}

std::atomic<unsigned> next{0};

}  // namespace

PtyLink::PtyLink(const std::string& device)
    : path_(folder().path() + "/ttyKF" + std::to_string(next++)) {
    std::filesystem::create_symlink(device, path_);
}

PtyLink::~PtyLink() {
    remove();
}

void PtyLink::remove() {
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

}  // namespace kf::boardsim
