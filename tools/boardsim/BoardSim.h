#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/Board.h"
#include "boardsim/Pty.h"

namespace kf::boardsim {

// One read from the master side: when it arrived and what it held.
struct Chunk {
    Clock::time_point time;
    std::string bytes;
};

struct SimOptions {
    // Hold the slave open ourselves: the program's closes are then invisible, and a boot
    // delay starts when the simulator starts instead of at each open.
    bool keepSlaveOpen = false;
    // Bounds for long runs: sent bytes kept for sent(), violation texts kept.
    std::size_t sentKept = 64 * 1024;
    std::size_t violationsKept = 1000;
    // Play the far end of another's pseudo-terminal (a mocked device's line) instead of one
    // of our own: its master descriptor, left open, and the name the program opens it by.
    int adoptMaster = -1;
    std::string adoptedName;
};

// A simulated board on the master side of its own pseudo-terminal. A reader thread records
// every byte the program writes to slavePath(), hands it to the board, and sends the
// board's answers. All accessors are thread-safe; the waits return false on timeout.
//
// Opens and closes by the program are seen as the master's hangup state: it reports a
// hangup while no slave descriptor is open. Bytes written just before a close are still
// read before the close is handled.
class BoardSim {
  public:
    explicit BoardSim(std::unique_ptr<Board> board, SimOptions options = {});
    virtual ~BoardSim();
    BoardSim(const BoardSim&) = delete;
    BoardSim& operator=(const BoardSim&) = delete;

    const std::string& slavePath() const { return pty_.slavePath(); }
    const std::string& devicePath() const { return pty_.devicePath(); }
    Clock::time_point startTime() const { return start_; }

    // Everything received so far, and the same split into reads with their times.
    std::string received() const;
    std::size_t receivedCount() const;
    std::vector<Chunk> chunks(std::size_t from = 0) const;
    std::size_t chunkCount() const;

    // What the board sent: the first sentKept bytes, and the total.
    std::string sent() const;
    std::size_t sentCount() const;

    std::vector<std::string> violations() const;
    std::size_t violationCount() const;

    int openCount() const;
    int closeCount() const;
    bool programHasOpen() const;
    std::string summary() const;

    bool waitForReceived(std::size_t bytes, Clock::duration timeout) const;
    bool waitForSent(std::size_t bytes, Clock::duration timeout) const;
    bool waitForViolations(std::size_t count, Clock::duration timeout) const;
    bool waitForOpenCount(int opens, Clock::duration timeout) const;
    bool waitForCloseCount(int closes, Clock::duration timeout) const;

    // Ends the reader thread; accessors keep working. Idempotent, also run by the destructor.
    void stop();

  protected:
    const Board& board() const { return *board_; }

    // Waits until pred() holds; pred runs under the simulator's lock, so it may look at the
    // board but must not call the accessors above.
    template <class Pred>
    bool waitLocked(Pred pred, Clock::duration timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, pred);
    }
    template <class F>
    auto withLock(F f) const {
        std::lock_guard lock(mutex_);
        return f();
    }

  private:
    class LineLink;

    void run(std::stop_token stop);
    // Reads everything waiting; returns whether anything was read.
    bool drain(bool& open);
    void handleOpened();
    void handleClosed();
    void handleMissedReopen();
    void handleTick();
    // Looks at the line now: is the program's end closed?
    bool hungUp() const;
    void sendLocked(std::string_view bytes);
    void flagLocked(std::string violation);

    SimOptions options_;
    Clock::time_point start_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::unique_ptr<Board> board_;
    Pty pty_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    // Guarded by mutex_.
    Clock::time_point eventTime_;
    std::string received_;
    std::vector<Chunk> chunks_;
    std::string sent_;
    std::size_t sentCount_ = 0;
    std::vector<std::string> violations_;
    std::size_t violationCount_ = 0;
    int opens_ = 0;
    int closes_ = 0;
    bool open_ = false;

    std::jthread thread_;  // last: stops before the members it uses go away
};

}  // namespace kf::boardsim
