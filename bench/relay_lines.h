// The lines the stand-in tunnel client prints in the relay benchmark, and how they are checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace marlox::bench {

// Every line is 80 bytes with its line feed: a stream tag ('o' standard output, 'e' standard
// error), a space, the line's number across both streams in ten digits, a space, 66 bytes of
// fixed text, the line feed. The number lets the client see a lost, repeated or reordered line.
inline constexpr std::size_t kLineBytes = 80;
inline constexpr std::size_t kNumberAt = 2;
inline constexpr std::size_t kNumberDigits = 10;
inline constexpr std::string_view kLineFiller =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_+=";
static_assert(2 + kNumberDigits + 1 + kLineFiller.size() + 1 == kLineBytes);

// What the stand-in prints: `lines` lines, of which every `stderr_every`-th (numbers
// stderr_every-1, 2*stderr_every-1, ...) goes to standard error; 0 means none does, and 1 is
// not a plan (it would leave standard output empty).
struct RelayPlan {
    std::uint64_t lines = 1'000'000;
    std::uint64_t stderr_every = 0;

    std::uint64_t stderr_lines() const { return stderr_every == 0 ? 0 : lines / stderr_every; }
};

// The plan travels to the stand-in as its realm argument, "lines-N-stderr-K": plain letters,
// digits and hyphens, which any realm check lets through.
std::string realm_for(const RelayPlan& plan);
std::optional<RelayPlan> parse_realm(std::string_view realm);

// The realm that asks the stand-in for a tunnel that prints kWaitingLine and then nothing until
// SIGTERM ends it: the flood benchmark's tunnel, which leaves the connection to the watcher.
inline constexpr std::string_view kWaitingRealm = "wait-for-sigterm";
inline constexpr std::string_view kWaitingLine = "waiting\n";

// Writes line `number` (kLineBytes bytes) to out.
void format_line(std::uint64_t number, char stream_tag, std::span<char, kLineBytes> out);

// Checks a relayed stream chunk by chunk: every line whole, every stream's lines in order, none
// missing at the end. Chunks may cut lines anywhere. After the first fault it stops checking.
class LineChecker {
public:
    explicit LineChecker(RelayPlan plan);

    void feed(std::string_view chunk);
    // Call once at end of stream; empty when every line arrived whole and in order.
    std::string finish();

    std::uint64_t lines_seen() const { return seen_out_ + seen_err_; }

private:
    void check_line(std::string_view line);  // without its line feed
    void fail(std::string message);

    // Each stream's next number is tracked by addition: a division per line would cost the
    // client as much as the relay's own work per line.
    RelayPlan plan_;
    std::string partial_;  // an unfinished line carried from the previous chunk
    std::uint64_t seen_out_ = 0;
    std::uint64_t seen_err_ = 0;
    std::uint64_t next_out_ = 0;
    std::uint64_t next_err_ = 0;
    std::uint64_t skip_out_ = 0;  // the next number standard output skips (a standard error line)
    std::string fault_;
};

}  // namespace marlox::bench
