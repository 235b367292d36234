// ClientStream: the one way a tunnel's output reaches its client, shared by both relays.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string_view>

namespace marlox::tunnel {

// How long output may stall once the tunnel process has exited. A descendant that keeps a pipe
// open, or a client that stopped reading, cannot hold the clean-up longer; a client that reads
// slowly still gets everything.
inline constexpr std::chrono::milliseconds kDrainTime{2000};

// The control connection as both relays of one tunnel write to it, plus the tunnel process's
// pidfd. Borrows both descriptors: they must outlive the stream and every thread using it.
//
// While the process runs, waits have no time limit: output is relayed as slowly as the client
// reads it, and a relay waits for as long as the process stays silent. Once the process has
// exited (first seen through the pidfd by any waiter) every wait ends kDrainTime after the last
// progress: the exit, a read that brought output, or a send the client accepted.
// Thread-safe: one send at a time, each whole.
class ClientStream {
public:
    ClientStream(int conn, int pidfd) noexcept : conn_(conn), pidfd_(pidfd) {}
    ClientStream(const ClientStream&) = delete;
    ClientStream& operator=(const ClientStream&) = delete;

    // Sends bytes whole under the send lock, so what one call sends is never split by another
    // call's bytes. The connection keeps its blocking mode for other readers; only this send
    // is non-blocking. False once a send has failed or given up: the stream is then broken and
    // every later send fails at once.
    bool send(std::string_view bytes);

    // Waits until fd (a non-blocking pipe read end) is readable or at its end. False when the
    // drain time ran out or the wait itself failed.
    bool wait_readable(int fd);

    // Looks at the pidfd without waiting, to start the drain time of a process that has exited
    // while its output kept the relays too busy to wait.
    void check_exit();

    // Output moved: once the process has exited, the drain time starts again from now.
    void note_progress();

    // True once the drain time has run out.
    bool drain_expired() const;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::rep kNoDeadline = Clock::rep{-1};

    // Waits for fd; see wait_readable. Watches the pidfd until the exit has been seen.
    bool wait_for(int fd, bool writable);
    void note_exit();
    // Milliseconds left until the deadline (rounded up), or -1 without one.
    int time_left_ms() const;

    const int conn_;
    const int pidfd_;
    std::mutex send_mutex_;
    bool broken_ = false;  // guarded by send_mutex_
    // Clock ticks at which draining ends; first set by whichever thread sees the exit, then
    // moved on by progress.
    std::atomic<Clock::rep> deadline_{kNoDeadline};
};

}  // namespace marlox::tunnel
