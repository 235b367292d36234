// pthread start-up with the daemon's stack size.
#include "os/thread.h"

namespace marlox::os {

Result<pthread_t> detail::start_thread(void* (*entry)(void*), void* arg, bool detached) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return Errno{rc};
    rc = pthread_attr_setstacksize(&attr, kThreadStackSize);
    if (rc == 0 && detached) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread{};
    if (rc == 0) rc = pthread_create(&thread, &attr, entry, arg);
    (void)pthread_attr_destroy(&attr);
    if (rc != 0) return Errno{rc};
    return thread;
}

void JoinableThread::join() noexcept {
    if (std::exchange(joinable_, false)) (void)pthread_join(thread_, nullptr);
}

}  // namespace marlox::os
