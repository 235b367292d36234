// Threads with an explicit 2 MiB stack, started without exceptions.
#pragma once

#include <pthread.h>

#include <memory>
#include <type_traits>
#include <utility>

#include "os/result.h"

namespace marlox::os {

// Every thread of the daemon gets this stack size. It is set explicitly: glibc's default
// follows RLIMIT_STACK (8 MiB here), which costs memory and throughput with many clients.
inline constexpr std::size_t kThreadStackSize = std::size_t{2} * 1024 * 1024;

namespace detail {
// Starts entry(arg) on a new thread; returns the pthread_create error as an Errno.
Result<pthread_t> start_thread(void* (*entry)(void*), void* arg, bool detached);

template <class Fn>
void* run_and_delete(void* arg) {
    std::unique_ptr<Fn> fn(static_cast<Fn*>(arg));
    (*fn)();
    return nullptr;
}
}  // namespace detail

// Starts fn on a detached thread that owns fn (and whatever fn captured, moved in).
// On failure fn is destroyed on the calling thread, so its resources are released here.
template <class Fn>
Result<void> start_detached(Fn&& fn) {
    using Stored = std::decay_t<Fn>;
    static_assert(std::is_nothrow_invocable_v<Stored&>, "thread entry functions are noexcept");
    auto owned = std::make_unique<Stored>(std::forward<Fn>(fn));
    auto started = detail::start_thread(&detail::run_and_delete<Stored>, owned.get(), true);
    if (!started) return started.error();
    (void)owned.release();  // the new thread owns it now
    return {};
}

// A thread that someone waits for: join() must be called before destruction.
class JoinableThread {
public:
    template <class Fn>
    static Result<JoinableThread> start(Fn&& fn) {
        using Stored = std::decay_t<Fn>;
        static_assert(std::is_nothrow_invocable_v<Stored&>, "thread entry functions are noexcept");
        auto owned = std::make_unique<Stored>(std::forward<Fn>(fn));
        auto started = detail::start_thread(&detail::run_and_delete<Stored>, owned.get(), false);
        if (!started) return started.error();
        (void)owned.release();
        return JoinableThread(*started);
    }

    JoinableThread(JoinableThread&& other) noexcept
        : thread_(other.thread_), joinable_(std::exchange(other.joinable_, false)) {}
    JoinableThread& operator=(JoinableThread&&) = delete;
    ~JoinableThread() { join(); }

    void join() noexcept;

private:
    explicit JoinableThread(pthread_t thread) : thread_(thread), joinable_(true) {}

    pthread_t thread_;
    bool joinable_;
};

}  // namespace marlox::os
