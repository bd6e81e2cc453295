#pragma once
// For tests that run the program as an ordinary user (kNobody): what such a user must be let
// into, and counting what it was told.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "testkit/PulseAudioServer.h"

namespace kfe2e {

// Lets others through a folder of the test's own (mkdtemp makes it the test's alone).
inline void openToOthers(const std::filesystem::path& folder) {
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0) << folder;
}

// The server started, its socket reachable by others as a user's session server is by them.
inline void startForOthers(kftest::PrivateServer& server) {
    ASSERT_TRUE(server.start()) << server.log();
    const std::string socket = server.server().substr(std::string("unix:").size());
    openToOthers(std::filesystem::path(socket).parent_path());
}

inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace kfe2e
