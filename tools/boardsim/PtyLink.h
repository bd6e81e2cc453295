#pragma once

#include <string>

namespace kf::boardsim {

// A name of this process's own for a pseudo-terminal, to hand to the program instead of
// /dev/pts/N. Those numbers are shared by every process on the machine: one freed here (a
// board pulled) is soon another process's, and a program still watching the old name would
// open that one and probe someone else's board. A link in a folder of this process's own
// is never anyone else's, and it goes before the pseudo-terminal does.
class PtyLink {
  public:
    explicit PtyLink(const std::string& device);
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    const std::string& path() const { return path_; }
    // The name disappears, as a device node does when its device is pulled.
    void remove();

  private:
    std::string path_;
};

}  // namespace kf::boardsim
