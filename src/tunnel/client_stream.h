// ClientStream: the one way a tunnel's output reaches its client, shared by both relays.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string_view>

namespace marlox::tunnel {

// How long a send may stall once the tunnel process has exited: a client that stopped reading
// cannot hold the clean-up longer; a client that reads slowly still gets everything.
inline constexpr std::chrono::milliseconds kDrainTime{2000};

// The control connection as both relays of one tunnel write to it, plus the tunnel process's
// pidfd. Borrows both descriptors: they must outlive the stream and every thread using it.
//
// While the process runs, waits have no time limit: output is relayed as slowly as the client
// reads it, and a relay waits for as long as the process stays silent. Once the process has
// exited (first seen through the pidfd by any wait or check) a relay no longer waits for its
// pipe (it takes only what the pipe then holds, see relay_lines), and a send waits at most
// kDrainTime after the last progress: the exit, or a send the client accepted.
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

    // Waits until fd (a non-blocking pipe read end) is readable or at its end, or until the
    // process's exit is known. False when the wait itself failed.
    bool wait_readable(int fd);

    // Looks at the pidfd without waiting, to learn of an exit while output keeps a relay too
    // busy to wait.
    void check_exit();

    // True once the process's exit has been seen.
    bool exited() const { return deadline_.load() != kNoDeadline; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::rep kNoDeadline = Clock::rep{-1};

    // Waits until the connection can take bytes; false when the drain time ran out first or the
    // wait failed. Watches the pidfd until the exit has been seen.
    bool wait_writable();
    bool drain_expired() const;
    void note_exit();
    // A send moved bytes: once the process has exited, the drain time starts again from now.
    void note_progress();
    // Milliseconds left until the deadline (rounded up), or -1 without one.
    int time_left_ms() const;

    const int conn_;
    const int pidfd_;
    std::mutex send_mutex_;
    bool broken_ = false;  // guarded by send_mutex_
    // Clock ticks at which draining ends; first set by whichever thread sees the exit, then
    // moved on by sends.
    std::atomic<Clock::rep> deadline_{kNoDeadline};
};

}  // namespace marlox::tunnel
