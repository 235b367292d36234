// Read, cut, one send per read; after the process's exit, only what the pipe held then.
#include "tunnel/relay.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <span>
#include <string>

#include "os/io.h"
#include "tunnel/line_cutter.h"

namespace marlox::tunnel {

void relay_lines(os::UniqueFd pipe, ClientStream& stream) noexcept {
    // Non-blocking reads let the wait watch the process's exit too. Our end of the pipe is
    // ours alone, so the flag changes nothing for the process. Should it fail, reads block:
    // the relay still works, only without the bound on the end.
    (void)os::set_nonblocking(pipe.get());

    // A pipe holds 64 KiB: reading it whole in one go takes an eighth of the reads, waits and
    // sends that 8 KiB would, which is most of the relay's cost with verbose output (measured
    // by bench/). It lives on the relay thread's 2 MiB stack only while a tunnel runs.
    std::array<char, std::size_t{64} * 1024> buffer;
    LineCutter cutter;
    std::string lines;  // reused: the lines of one read
    // Once the process has exited, what the pipe held at that moment is all that is left to
    // relay: a descendant that inherited the pipe and writes on cannot keep the tunnel alive.
    std::optional<std::size_t> left;
    bool looked = false;  // the exit was looked for since the last read
    for (;;) {
        // Output that keeps the pipe readable means no wait looks at the pidfd: look here.
        if (!looked) stream.check_exit();
        if (!left && stream.exited()) {
            const auto waiting = os::bytes_waiting(pipe.get());
            left = waiting ? *waiting : 0;
        }
        if (left && *left == 0) break;
        const std::size_t wanted = std::min(buffer.size(), left.value_or(buffer.size()));
        const auto got = os::read_some(pipe.get(), std::span(buffer).first(wanted));
        looked = false;
        if (!got) {
            if (got.error().code != EAGAIN || left || !stream.wait_readable(pipe.get())) break;
            looked = true;
            continue;
        }
        if (*got == 0) break;
        if (left) *left -= *got;
        lines.clear();
        cutter.feed(std::string_view(buffer.data(), *got), lines);
        if (!lines.empty() && !stream.send(lines)) return;
    }
    lines.clear();
    cutter.finish(lines);
    if (!lines.empty()) (void)stream.send(lines);
}

}  // namespace marlox::tunnel
