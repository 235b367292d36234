// Stand-in openfortivpn for the relay benchmark: prints the lines its realm asks for, at once.
//
// Called as the daemon calls the real client ("-c" file "--realm" realm); the realm carries the
// plan (see relay_lines.h). Each stream is written in large blocks of whole lines so the program
// itself costs as little as possible next to the relay it feeds.
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>

#include "os/io.h"
#include "relay_lines.h"

namespace {

using marlox::bench::kLineBytes;

constexpr std::size_t kLinesPerWrite = 819;  // just under the 64 KiB of a default pipe

class BlockWriter {
public:
    explicit BlockWriter(int fd) : fd_(fd) {}

    bool add(const char* line) {
        if (used_ + kLineBytes > block_.size() && !flush()) return false;
        std::memcpy(block_.data() + used_, line, kLineBytes);
        used_ += kLineBytes;
        return true;
    }
    bool flush() {
        const bool written = marlox::os::write_all(fd_, {block_.data(), used_}).has_value();
        used_ = 0;
        return written;
    }

private:
    int fd_;
    std::array<char, kLinesPerWrite * kLineBytes> block_;
    std::size_t used_ = 0;
};

// Adds one to the ten-digit line number in place, which is cheaper than formatting it anew.
void increment(char* digits) {
    for (std::size_t i = marlox::bench::kNumberDigits; i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return;
        }
        digits[i] = '0';
    }
}

// Says it runs, then waits: SIGTERM, at its default action, ends it.
int wait_for_sigterm() {
    if (!marlox::os::write_all(STDOUT_FILENO, marlox::bench::kWaitingLine)) return 1;
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
    marlox::bench::RelayPlan plan;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string_view(argv[i]) != "--realm") continue;
        if (argv[i + 1] == marlox::bench::kWaitingRealm) return wait_for_sigterm();
        if (const auto parsed = marlox::bench::parse_realm(argv[i + 1])) plan = *parsed;
    }

    std::array<char, kLineBytes> line;
    marlox::bench::format_line(0, 'o', line);
    static BlockWriter out(STDOUT_FILENO);
    static BlockWriter err(STDERR_FILENO);
    // Every stderr_every-th line goes to standard error, counted down rather than divided.
    std::uint64_t until_stderr = plan.stderr_every;
    for (std::uint64_t number = 0; number < plan.lines; ++number) {
        const bool to_stderr = until_stderr != 0 && --until_stderr == 0;
        if (to_stderr) until_stderr = plan.stderr_every;
        line[0] = to_stderr ? 'e' : 'o';
        if (!(to_stderr ? err : out).add(line.data())) return 1;
        increment(&line[marlox::bench::kNumberAt]);
    }
    return out.flush() && err.flush() ? 0 : 1;
}
