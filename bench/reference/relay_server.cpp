// Reference relay server: the least work that copies a program's output to a socket whole-line.
//
// Per connection: the request line is the realm to hand to `openfortivpn` (found on PATH, as the
// daemon finds it). Both output pipes are copied with reads and sends of up to 64 KiB, the size
// of a pipe: each read's bytes up to its last line feed go out in one send under one lock per
// connection, the unfinished line waits for the next read. Nothing is done per line, so this is
// the ceiling a line relay is measured against.
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/child.h"
#include "os/io.h"
#include "os/socket.h"
#include "os/thread.h"
#include "reference/accept_loop.h"

namespace {

using namespace marlox;

constexpr std::size_t kCopyBytes = std::size_t{64} * 1024;

void copy_whole_lines(int from, int to, std::mutex& send_lock) noexcept {
    std::array<char, kCopyBytes> buffer;
    std::size_t held = 0;
    for (;;) {
        const auto n = os::read_some(from, std::span(buffer).subspan(held));
        if (!n || *n == 0) break;
        held += *n;
        const void* last = ::memrchr(buffer.data(), '\n', held);
        if (last == nullptr) {
            if (held == buffer.size()) return;  // a line longer than the buffer: not ours
            continue;
        }
        const auto whole =
            static_cast<std::size_t>(static_cast<const char*>(last) - buffer.data()) + 1;
        {
            const std::lock_guard lock(send_lock);
            if (!os::send_all(to, {buffer.data(), whole})) return;
        }
        std::memmove(buffer.data(), buffer.data() + whole, held - whole);
        held -= whole;
    }
    const std::lock_guard lock(send_lock);
    (void)os::send_all(to, {buffer.data(), held});
}

std::string read_realm(int conn) {
    std::array<char, 512> buffer;
    std::string line;
    while (line.find('\n') == std::string::npos && line.size() < buffer.size()) {
        const auto n = os::recv_some(conn, buffer);
        if (!n || *n == 0) break;
        line.append(buffer.data(), *n);
    }
    return line.substr(0, line.find('\n'));
}

void serve(os::UniqueFd conn) noexcept {
    if (!os::peer_uid(conn.get())) return;
    const std::string args[] = {"openfortivpn", "-c", "/dev/null", "--realm",
                                read_realm(conn.get())};
    auto child = os::Child::spawn(args);
    if (!child) return;
    std::mutex send_lock;
    auto err_conn = os::dup_cloexec(conn.get());
    if (!err_conn) return;
    auto err_copier = os::JoinableThread::start(
        [from = child->take_stderr(), to = std::move(*err_conn), &send_lock]() noexcept {
            copy_whole_lines(from.get(), to.get(), send_lock);
        });
    if (!err_copier) return;
    const os::UniqueFd out = child->take_stdout();
    copy_whole_lines(out.get(), conn.get(), send_lock);
    err_copier->join();
    (void)child->wait_exited();
    child->reap();
    (void)os::shutdown_both(conn.get());
}

}  // namespace

int main(int argc, char** argv) { marlox::bench::serve_forever(argc, argv, serve); }
