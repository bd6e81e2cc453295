#include "devices/SerialLockFiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace kf {

namespace {

// The process a lock file names: ASCII (optionally padded, as UUCP writes it) or the old
// binary form of four bytes.
pid_t ownerOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (text.empty()) {
        return 0;
    }
    const char* start = text.c_str();
    char* end = nullptr;
    const long pid = std::strtol(start, &end, 10);
    if (end != start && pid > 0) {
        return static_cast<pid_t>(pid);
    }
    if (text.size() == 4) {
        std::int32_t binary = 0;
        text.copy(reinterpret_cast<char*>(&binary), 4);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    return 0;
}

// Whether the process has the device open; a process whose descriptors we may not read is
// taken to have it, rather than risk two programs on one line.
bool hasDeviceOpen(pid_t pid, dev_t device) {
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(fdDir.c_str());
    if (dir == nullptr) {
        return errno == EACCES || errno == EPERM;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        const std::string fd = fdDir + "/" + entry->d_name;
        if (entry->d_name[0] != '.' && ::stat(fd.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == device) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Where a chain of links ends; only its last name matters for a lock file. Followed by hand:
// realpath() breaks under a mocked device view (umockdev), which the tests use.
std::string followLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            break;
        }
        const std::string next(target, static_cast<std::size_t>(n));
        path = next.front() == '/'
                   ? next
                   : (std::filesystem::path(path).parent_path() / next).lexically_normal().string();
    }
    return path;
}

}  // namespace

std::string lockFileName(const std::string& devicePath) {
    std::string name = devicePath;
    if (name.rfind("/dev/", 0) == 0) {
        name.erase(0, 5);
    } else if (const auto slash = name.rfind('/'); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return "LCK.." + name;
}

bool heldByAnotherProgram(const std::string& devicePath, dev_t device,
                          const std::string& lockDirectory) {
    // A terminal program locks the device's own name, also when we were given a link to it
    // (/dev/serial/by-id/...).
    std::vector<std::string> names{devicePath};
    const std::string real = followLinks(devicePath);
    if (real != devicePath) {
        names.push_back(real);
    }
    for (const std::string& name : names) {
        const pid_t pid = ownerOf(lockDirectory + "/" + lockFileName(name));
        if (pid <= 0 || pid == ::getpid()) {
            continue;  // none, unreadable, or a former process of ours that had this number
        }
        const bool alive = ::kill(pid, 0) == 0 || errno == EPERM;
        if (alive && hasDeviceOpen(pid, device)) {
            return true;
        }
    }
    return false;
}

}  // namespace kf
