// Read, cut, one send per read.
#include "tunnel/relay.h"

#include <array>
#include <cerrno>
#include <string>

#include "os/io.h"
#include "tunnel/line_cutter.h"

namespace marlox::tunnel {

void relay_lines(os::UniqueFd pipe, ClientStream& stream) noexcept {
    // Non-blocking reads let the wait watch the process's exit too. Our end of the pipe is
    // ours alone, so the flag changes nothing for the process. Should it fail, reads block:
    // the relay still works, only without the bound on draining.
    (void)os::set_nonblocking(pipe.get());

    // A pipe holds 64 KiB: reading it whole in one go takes an eighth of the reads, waits and
    // sends that 8 KiB would, which is most of the relay's cost with verbose output (measured
    // by bench/). It lives on the relay thread's 2 MiB stack only while a tunnel runs.
    std::array<char, std::size_t{64} * 1024> buffer;
    LineCutter cutter;
    std::string lines;  // reused: the lines of one read
    for (;;) {
        if (stream.drain_expired()) break;
        const auto got = os::read_some(pipe.get(), buffer);
        if (!got) {
            if (got.error().code == EAGAIN && stream.wait_readable(pipe.get())) continue;
            break;
        }
        if (*got == 0) break;
        stream.note_progress();
        // A full buffer means more is probably waiting and no wait will come soon to notice
        // an exit, which matters only when a descendant keeps the pipe busy after it.
        if (*got == buffer.size()) stream.check_exit();
        lines.clear();
        cutter.feed(std::string_view(buffer.data(), *got), lines);
        if (!lines.empty() && !stream.send(lines)) return;
    }
    lines.clear();
    cutter.finish(lines);
    if (!lines.empty()) (void)stream.send(lines);
}

}  // namespace marlox::tunnel
