// Fake openfortivpn for the integration tests: records how it was started, then plays a script.
//
// Started by the daemon as `openfortivpn -c FILE --realm REALM`. It writes into the directory
// named by MARLOX_FAKE_DIR:
//   argv      its arguments, each ended by a NUL byte
//   config    the content of FILE;  config-mode  its permission bits in octal
//   fds       its open descriptors, one number a line
//   sigpipe   "default" or "ignored";  sigmask  "empty" or "blocked"
//   ignored   the numbers of the signals it found ignored (SIGCHLD, say), one a line
//   pid       its process id;  starts  one line per start, appended
//   notify-socket   the value of NOTIFY_SOCKET, or "unset"
//   term      one line per SIGTERM received, appended
//   ready     written last, once all of the above exist
// Then it runs the script MARLOX_FAKE_DIR/script-HOST, HOST being the host value of FILE. Each
// line is a command; TEXT may hold the escapes \\ \n \r \t \0 \xHH:
//   out TEXT | err TEXT           TEXT and a line feed on stdout | stderr
//   out-raw TEXT | err-raw TEXT   TEXT alone
//   out-repeat N TEXT | err-repeat N TEXT    TEXT N times, then a line feed
//   flood N LENGTH                N lines of LENGTH bytes on stdout and on stderr at once
//   sleep MS                      pause
//   wait-term MS                  wait for SIGTERM (at most MS), then go on with the script
//   ignore-term                   from now on SIGTERM is only recorded
//   descendant MS                 fork a child that holds stdout and stderr open for MS
//   chatty-descendant MS          fork a child that, once this process has exited, writes a
//                                 line "descendant N" on stdout and stderr every MS (100 times)
//   notify TEXT                   send TEXT as one datagram to NOTIFY_SOCKET, as the real client
//                                 sends "READY=1" once the tunnel is up
//   mark NAME                     create the empty record NAME
//   exit CODE                     exit at once
// Without a script it waits for SIGTERM (at most 20 s) and exits 0. Otherwise SIGTERM ends it
// with status 143 unless wait-term or ignore-term says more.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string record_dir;
char term_record_path[4096];
volatile sig_atomic_t term_mode = 0;  // 0: exit on SIGTERM, 1: note it, 2: note it and ignore
volatile sig_atomic_t term_received = 0;

void on_sigterm(int) {
    const int fd = ::open(term_record_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, "TERM\n", 5);
        (void)::close(fd);
    }
    if (term_mode == 0) ::_exit(143);
    term_received = 1;
}

void write_all(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) std::_Exit(3);  // a closed relay pipe: the real client would die too
        done += static_cast<std::size_t>(n);
    }
}

void record(const std::string& name, const std::string& content, bool append = false) {
    std::ofstream(record_dir + "/" + name, append ? std::ios::app : std::ios::trunc) << content;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lists /proc/self/fd before this process opens anything of its own (except the listing).
std::string open_descriptors() {
    std::string list;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return "unreadable\n";
    // Still a single thread here, so readdir's shared buffer is safe.
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
        if (entry->d_name[0] == '.' || std::string(entry->d_name) == std::to_string(::dirfd(dir))) {
            continue;
        }
        list += entry->d_name + std::string("\n");
    }
    ::closedir(dir);
    return list;
}

// Lists the signals that are ignored: the one disposition besides the default that survives
// exec (handlers do not; a sanitizer runtime may have installed its own by now).
std::string ignored_signals() {
    std::string list;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action {};
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            list += std::to_string(sig) + "\n";
        }
    }
    return list;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (const char c = text[++i]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'x':
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
                break;
            default:
                out += c;
        }
    }
    return out;
}

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Lines "out 000001 " or "err 000001 " padded to length with the stream's letter.
void flood(int fd, const char* name, long count, long length) {
    for (long i = 0; i < count; ++i) {
        char head[32];
        (void)std::snprintf(head, sizeof head, "%s %06ld ", name, i);
        std::string line(head);
        line.resize(static_cast<std::size_t>(length), name[0]);
        write_all(fd, line + "\n");
    }
}

// A descendant that outlives the tunnel process with its pipes and keeps printing; it ends
// when a write fails (the relay closed its end) or after 100 lines.
void chatty_descendant(long period_ms) {
    const pid_t parent = ::getpid();
    if (::fork() != 0) return;
    while (::getppid() == parent) sleep_ms(5);
    for (int i = 0; i < 100; ++i) {
        sleep_ms(period_ms);
        const std::string line = "descendant " + std::to_string(i) + "\n";
        write_all(1, line);
        write_all(2, line);
    }
    std::_Exit(0);
}

// One datagram to the socket named by NOTIFY_SOCKET (a path, or "@name" for an abstract one).
void notify(const std::string& text) {
    const char* address = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string name = address != nullptr ? address : "";
    if (name.empty() || name.size() >= sizeof addr.sun_path) std::_Exit(4);
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                               (name[0] == '@' ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 ||
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr), length) < 0) {
        std::_Exit(4);
    }
    (void)::close(fd);
}

void run(const std::string& command, const std::string& rest) {
    std::istringstream args(rest);
    long n = 0;
    long m = 0;
    if (command == "out") {
        write_all(1, unescape(rest) + "\n");
    } else if (command == "err") {
        write_all(2, unescape(rest) + "\n");
    } else if (command == "out-raw") {
        write_all(1, unescape(rest));
    } else if (command == "err-raw") {
        write_all(2, unescape(rest));
    } else if (command == "out-repeat" || command == "err-repeat") {
        args >> n;
        std::string text;
        std::getline(args >> std::ws, text);
        std::string line;
        for (long i = 0; i < n; ++i) line += unescape(text);
        write_all(command == "out-repeat" ? 1 : 2, line + "\n");
    } else if (command == "flood") {
        args >> n >> m;
        std::thread on_stderr(flood, 2, "err", n, m);
        flood(1, "out", n, m);
        on_stderr.join();
    } else if (command == "sleep") {
        args >> n;
        sleep_ms(n);
    } else if (command == "wait-term") {
        args >> n;
        if (term_mode == 0) term_mode = 1;
        for (long waited = 0; !term_received && waited < n; waited += 5) sleep_ms(5);
        term_received = 0;
    } else if (command == "ignore-term") {
        term_mode = 2;
    } else if (command == "descendant") {
        args >> n;
        const pid_t child = ::fork();
        if (child == 0) {
            sleep_ms(n);
            std::_Exit(0);
        }
        record("descendant", std::to_string(child));
    } else if (command == "chatty-descendant") {
        args >> n;
        chatty_descendant(n);
    } else if (command == "notify") {
        notify(unescape(rest));
    } else if (command == "mark") {
        record(rest, "");
    } else if (command == "exit") {
        std::_Exit(static_cast<int>(std::strtol(rest.c_str(), nullptr, 10)));
    } else {
        write_all(2, "fake openfortivpn: unknown script command " + command + "\n");
        std::_Exit(2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Never outlive the daemon that started it, whatever a test leaves running.
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string fds = open_descriptors();
    const std::string ignored = ignored_signals();
    const char* dir = std::getenv("MARLOX_FAKE_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (dir == nullptr) {
        write_all(2, "fake openfortivpn: MARLOX_FAKE_DIR is not set\n");
        return 2;
    }
    record_dir = dir;
    (void)std::snprintf(term_record_path, sizeof term_record_path, "%s/term", dir);
    struct sigaction on_term {};
    on_term.sa_handler = on_sigterm;
    (void)sigaction(SIGTERM, &on_term, nullptr);

    struct sigaction sigpipe {};
    (void)sigaction(SIGPIPE, nullptr, &sigpipe);
    sigset_t blocked;
    (void)sigprocmask(SIG_BLOCK, nullptr, &blocked);  // NOLINT(concurrency-mt-unsafe)
    bool none_blocked = true;
    for (int sig = 1; sig < NSIG; ++sig) none_blocked = none_blocked && !sigismember(&blocked, sig);

    std::string args;
    std::string config_path;
    for (int i = 0; i < argc; ++i) {
        args += argv[i] + std::string(1, '\0');
        if (std::string(argv[i]) == "-c" && i + 1 < argc) config_path = argv[i + 1];
    }
    const std::string config = slurp(config_path);
    struct stat st {};
    char mode[16] = "missing";
    if (::stat(config_path.c_str(), &st) == 0)
        (void)std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);

    record("fds", fds);
    record("argv", args);
    record("config", config);
    record("config-mode", mode);
    record("sigpipe", sigpipe.sa_handler == SIG_IGN ? "ignored" : "default");
    record("sigmask", none_blocked ? "empty" : "blocked");
    record("ignored", ignored);
    record("pid", std::to_string(::getpid()));
    const char* notify_socket = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
    record("notify-socket", notify_socket != nullptr ? notify_socket : "unset");
    record("starts", std::to_string(::getpid()) + "\n", /*append=*/true);

    std::string host;
    std::istringstream lines(config);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("host = ", 0) == 0) host = line.substr(7);
    }
    const std::string script_path = record_dir + "/script-" + host;
    const bool scripted = ::access(script_path.c_str(), R_OK) == 0;
    const std::string script = scripted ? slurp(script_path) : "wait-term 20000\n";
    record("ready", "");

    std::istringstream commands(script);
    for (std::string line; std::getline(commands, line);) {
        const std::size_t space = line.find(' ');
        run(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1));
    }
    return 0;
}
