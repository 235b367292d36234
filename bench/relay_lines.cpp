// Formatting, parsing and checking of the relay benchmark's lines.
#include "relay_lines.h"

#include <charconv>
#include <cstring>

namespace marlox::bench {
namespace {

constexpr std::size_t kFillerAt = kNumberAt + kNumberDigits + 1;

std::optional<std::uint64_t> parse_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string realm_for(const RelayPlan& plan) {
    return "lines-" + std::to_string(plan.lines) + "-stderr-" + std::to_string(plan.stderr_every);
}

std::optional<RelayPlan> parse_realm(std::string_view realm) {
    constexpr std::string_view kLines = "lines-";
    constexpr std::string_view kStderr = "-stderr-";
    if (!realm.starts_with(kLines)) return std::nullopt;
    realm.remove_prefix(kLines.size());
    const std::size_t split = realm.find(kStderr);
    if (split == std::string_view::npos) return std::nullopt;
    const auto lines = parse_number(realm.substr(0, split));
    const auto every = parse_number(realm.substr(split + kStderr.size()));
    if (!lines || !every || *every == 1) return std::nullopt;
    return RelayPlan{*lines, *every};
}

void format_line(std::uint64_t number, char stream_tag, std::span<char, kLineBytes> out) {
    out[0] = stream_tag;
    out[1] = ' ';
    for (std::size_t i = kNumberDigits; i-- > 0; number /= 10) {
        out[kNumberAt + i] = static_cast<char>('0' + number % 10);
    }
    out[kFillerAt - 1] = ' ';
    std::memcpy(&out[kFillerAt], kLineFiller.data(), kLineFiller.size());
    out[kLineBytes - 1] = '\n';
}

LineChecker::LineChecker(RelayPlan plan) : plan_(plan) {
    // Standard error carries numbers every-1, 2*every-1, ...; standard output all the others.
    constexpr std::uint64_t kNever = UINT64_MAX;
    next_err_ = plan.stderr_every == 0 ? kNever : plan.stderr_every - 1;
    skip_out_ = next_err_;
}

void LineChecker::feed(std::string_view chunk) {
    if (!fault_.empty()) return;
    if (!partial_.empty()) {
        const std::size_t newline = chunk.find('\n');
        if (newline == std::string_view::npos) {
            partial_.append(chunk);
            if (partial_.size() > kLineBytes)
                fail("a line longer than " + std::to_string(kLineBytes));
            return;
        }
        partial_.append(chunk.substr(0, newline));
        check_line(partial_);
        partial_.clear();
        chunk.remove_prefix(newline + 1);
    }
    // The hot loop: one memchr per line, no copy unless a line straddles two chunks.
    while (fault_.empty()) {
        const void* found = std::memchr(chunk.data(), '\n', chunk.size());
        if (found == nullptr) break;
        const auto length =
            static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data());
        check_line(chunk.substr(0, length));
        chunk.remove_prefix(length + 1);
    }
    if (fault_.empty()) partial_.assign(chunk);
}

std::string LineChecker::finish() {
    if (!fault_.empty()) return fault_;
    if (!partial_.empty()) return "the stream ended inside a line";
    const std::uint64_t want_err = plan_.stderr_lines();
    const std::uint64_t want_out = plan_.lines - want_err;
    if (seen_out_ != want_out || seen_err_ != want_err) {
        return "received " + std::to_string(seen_out_) + " standard output and " +
               std::to_string(seen_err_) + " standard error lines, expected " +
               std::to_string(want_out) + " and " + std::to_string(want_err);
    }
    return {};
}

void LineChecker::check_line(std::string_view line) {
    const bool whole = line.size() == kLineBytes - 1 && (line[0] == 'o' || line[0] == 'e') &&
                       line[1] == ' ' && line[kFillerAt - 1] == ' ' &&
                       line.substr(kFillerAt) == kLineFiller;
    const auto number = whole ? parse_number(line.substr(kNumberAt, kNumberDigits)) : std::nullopt;
    if (!number) {
        fail("a broken line after " + std::to_string(lines_seen()) + " good ones: \"" +
             std::string(line.substr(0, 2 * kLineBytes)) + "\"");
        return;
    }
    const bool on_stderr = line[0] == 'e';
    const std::uint64_t expected = on_stderr ? next_err_ : next_out_;
    if (*number != expected) {
        fail(std::string("line ") + std::to_string(*number) + " on stream '" + line[0] +
             "' where line " + std::to_string(expected) + " was due");
        return;
    }
    if (on_stderr) {
        ++seen_err_;
        next_err_ += plan_.stderr_every;
    } else {
        ++seen_out_;
        if (++next_out_ == skip_out_) {
            ++next_out_;
            skip_out_ += plan_.stderr_every;
        }
    }
}

void LineChecker::fail(std::string message) {
    if (fault_.empty()) fault_ = std::move(message);
}

}  // namespace marlox::bench
