#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kf::boardsim::test {

// The program's end of a simulated board: the slave path opened the way the program opens
// a serial port (read/write, no controlling terminal, raw).
class ProgramPort {
  public:
    explicit ProgramPort(const std::string& path);
    ~ProgramPort();
    ProgramPort(const ProgramPort&) = delete;
    ProgramPort& operator=(const ProgramPort&) = delete;

    void write(std::string_view bytes);
    // Reads until at least `count` bytes have arrived or the timeout passes.
    std::string readAtLeast(std::size_t count, std::chrono::milliseconds timeout);
    // Reads whatever arrives within the whole timeout.
    std::string readFor(std::chrono::milliseconds timeout);
    void close();

  private:
    int fd_ = -1;
};

}  // namespace kf::boardsim::test
