// Echo control for the password prompt, with handlers that never leave echo off behind.
#include "ctl/quiet_terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "os/io.h"

namespace marlox::ctl {
namespace {

// What the handlers read; written only while they are not installed or are held back.
int g_fd = -1;
termios g_normal{};
termios g_quiet{};
std::size_t g_prompt_size = 0;
const char* g_prompt = nullptr;
// The actions the handlers replaced, by signal number; g_installed[sig] tells which ones.
std::array<struct sigaction, NSIG> g_previous{};
std::array<bool, NSIG> g_installed{};

// Signals that end the program at their default action and can be caught. SIGINT, SIGTERM and
// SIGHUP belong to the SignalWatch; SIGPIPE is ignored for the whole program.
constexpr std::array kEndingSignals{SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF,
                                    SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT, SIGTRAP,
                                    SIGABRT, SIGBUS,  SIGFPE,  SIGILL,  SIGSEGV,   SIGSYS};
constexpr std::array kStoppingSignals{SIGTSTP, SIGTTIN, SIGTTOU};

bool is_stopping(int sig) { return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU; }

sigset_t taken_signals() {
    sigset_t set;
    (void)::sigemptyset(&set);
    for (const int sig : kEndingSignals) (void)::sigaddset(&set, sig);
    for (const int sig : kStoppingSignals) (void)::sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) (void)::sigaddset(&set, sig);
    return set;
}

void write_stderr(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

void set_default(int sig, struct sigaction* replaced) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    (void)::sigemptyset(&fallback.sa_mask);
    (void)::sigaction(sig, &fallback, replaced);
}

// Only async-signal-safe calls from here to the end of the handlers: tcsetattr, write,
// sigaction, pthread_sigmask, raise.
void on_ending_signal(int sig) {
    (void)::tcsetattr(g_fd, TCSANOW, &g_normal);
    write_stderr("\n", 1);
    set_default(sig, nullptr);
    // Pending while the handler runs; it ends the program as soon as the handler returns.
    (void)::raise(sig);
}

void on_stopping_signal(int sig) {
    const int saved_errno = errno;
    (void)::tcsetattr(g_fd, TCSANOW, &g_normal);
    struct sigaction own {};
    set_default(sig, &own);
    (void)::raise(sig);
    sigset_t just;
    (void)::sigemptyset(&just);
    (void)::sigaddset(&just, sig);
    // The stop happens here, and the program goes on from here once continued (SIGCONT).
    (void)::pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
    (void)::pthread_sigmask(SIG_BLOCK, &just, nullptr);
    (void)::sigaction(sig, &own, nullptr);
    // TCSAFLUSH: a half-typed password from before the stop is dropped, so it is asked anew.
    (void)::tcsetattr(g_fd, TCSAFLUSH, &g_quiet);
    const char* prompt = g_prompt;
    if (prompt != nullptr) write_stderr(prompt, g_prompt_size);
    errno = saved_errno;
}

os::Result<void> set_attributes(const termios& settings) {
    // TCSAFLUSH: what was typed before the prompt appeared is not taken as the secret.
    while (::tcsetattr(g_fd, TCSAFLUSH, &settings) < 0) {
        if (errno != EINTR) return os::last_errno();
    }
    return {};
}

}  // namespace

os::Result<QuietTerminal> QuietTerminal::start(int fd) {
    termios normal{};
    if (::tcgetattr(fd, &normal) < 0) return os::last_errno();
    g_fd = fd;
    g_normal = normal;
    g_quiet = normal;
    g_quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    g_quiet.c_lflag |= ECHONL;
    g_prompt = nullptr;

    const sigset_t taken = taken_signals();
    QuietTerminal quiet;  // from here on, the destructor undoes whatever follows
    for (int sig = 1; sig < NSIG; ++sig) {
        if (::sigismember(&taken, sig) != 1) continue;
        struct sigaction previous {};
        if (::sigaction(sig, nullptr, &previous) < 0 || previous.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = is_stopping(sig) ? on_stopping_signal : on_ending_signal;
        // One handler at a time; SA_RESTART keeps the waits of the prompt going after a stop.
        action.sa_mask = taken;
        action.sa_flags = SA_RESTART;
        g_previous[sig] = previous;
        g_installed[sig] = ::sigaction(sig, &action, nullptr) == 0;
    }
    auto set = set_attributes(g_quiet);
    if (!set) return set.error();
    return quiet;
}

QuietTerminal::~QuietTerminal() {
    if (!active_) return;
    // Held back while the terminal and the actions are put back, so that no handler sees half
    // of it; one that arrived meanwhile is delivered afterwards at the earlier action.
    const sigset_t taken = taken_signals();
    sigset_t mask;
    (void)::pthread_sigmask(SIG_BLOCK, &taken, &mask);
    (void)set_attributes(g_normal);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (!g_installed[sig]) continue;
        (void)::sigaction(sig, &g_previous[sig], nullptr);
        g_installed[sig] = false;
    }
    g_prompt = nullptr;
    (void)::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

os::Result<void> QuietTerminal::show(std::string_view prompt) {
    // A stop while the prompt is written waits until it counts as shown, so that it is shown
    // again after the stop, but never twice.
    const sigset_t taken = taken_signals();
    sigset_t mask;
    (void)::pthread_sigmask(SIG_BLOCK, &taken, &mask);
    auto written = os::write_all(STDERR_FILENO, prompt);
    if (written) {
        g_prompt_size = prompt.size();
        g_prompt = prompt.data();
    }
    (void)::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    return written;
}

}  // namespace marlox::ctl
