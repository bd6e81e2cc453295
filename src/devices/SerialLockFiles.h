#pragma once

#include <sys/types.h>

#include <string>

namespace kf {

// Other serial programs (terminal programs, modem tools) mark a port they use with a lock file
// LCK..name in the system's lock directory. The program makes none of its own: its hold on a
// port is the descriptor's flock, which ends with the descriptor. It does respect theirs, but
// only while the process the file names still has the device open, so a lock file that
// outlives its port (left by a program that crashed, or for the moment between a program's
// close and its unlink) never keeps out the next device that gets the same name.
bool heldByAnotherProgram(const std::string& devicePath, dev_t device,
                          const std::string& lockDirectory = "/run/lock");

// The lock file's name for a device path: /dev/ttyUSB0 gives LCK..ttyUSB0, /dev/pts/5 LCK..pts_5.
std::string lockFileName(const std::string& devicePath);

}  // namespace kf
