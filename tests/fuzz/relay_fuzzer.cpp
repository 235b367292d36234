// Fuzz target for the line relay's cutting and UTF-8 repair: pipe output in any chunking.
//
// Input layout: byte 0 says how many chunk-size bytes follow (0 to 15); those bytes give the
// sizes of the reads, used in turn (a zero byte stands for a full 8192-byte read); the rest is
// what the tunnel process printed. The cutter's lines must equal a plain reference that cuts
// the whole output at once and repairs each line by the Unicode definition.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "protocol/utf8.h"
#include "tunnel/line_cutter.h"

namespace {

using marlox::fuzz::require;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::size_t kReadSize = 8192;

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// Each maximal ill-formed subpart becomes one U+FFFD (Unicode 15, section 3.9, table 3-7).
std::string reference_repair(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t trail = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            trail = 0;
        } else if (in_range(lead, 0xC2, 0xDF)) {
            trail = 1;
        } else if (lead == 0xE0) {
            trail = 2, low = 0xA0;
        } else if (lead == 0xED) {
            trail = 2, high = 0x9F;
        } else if (in_range(lead, 0xE1, 0xEF)) {
            trail = 2;
        } else if (lead == 0xF0) {
            trail = 3, low = 0x90;
        } else if (lead == 0xF4) {
            trail = 3, high = 0x8F;
        } else if (in_range(lead, 0xF1, 0xF3)) {
            trail = 3;
        } else {
            out.append(kReplacement);
            ++i;
            continue;
        }
        std::size_t good = 0;  // continuation bytes that fit
        while (good < trail && i + 1 + good < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1 + good]);
            if (!(good == 0 ? in_range(next, low, high) : in_range(next, 0x80, 0xBF))) break;
            ++good;
        }
        if (good == trail) {
            out.append(text.substr(i, trail + 1));
        } else {
            out.append(kReplacement);
        }
        i += good + 1;
    }
    return out;
}

// The whole output cut at once: text before each line feed, less one carriage return right
// before it; a last unfinished line as it is; each line repaired and ended by a line feed.
std::string reference_lines(std::string_view output) {
    std::string out;
    while (!output.empty()) {
        const std::size_t newline = output.find('\n');
        std::string_view line = output.substr(0, newline);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        out.append(reference_repair(line)).push_back('\n');
        output.remove_prefix(newline == std::string_view::npos ? output.size() : newline + 1);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.empty()) return 0;
    const std::size_t count =
        std::min<std::size_t>(static_cast<unsigned char>(input[0]) % 16, input.size() - 1);
    std::vector<std::size_t> reads;
    for (std::size_t i = 1; i <= count; ++i) {
        const auto byte = static_cast<unsigned char>(input[i]);
        reads.push_back(byte == 0 ? kReadSize : byte);
    }
    if (reads.empty()) reads.push_back(kReadSize);
    const std::string_view output = input.substr(count + 1);

    marlox::tunnel::LineCutter cutter;
    std::string relayed;
    std::size_t line_feeds_read = 0;
    std::size_t lines_out = 0;
    std::string_view rest = output;
    for (std::size_t turn = 0; !rest.empty(); ++turn) {
        const std::string_view read = rest.substr(0, reads[turn % reads.size()]);
        rest.remove_prefix(read.size());
        line_feeds_read += static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
        const std::size_t before = relayed.size();
        cutter.feed(read, relayed);
        // A read adds whole lines only: exactly one per line feed read so far.
        const std::string_view added = std::string_view(relayed).substr(before);
        require(added.empty() || added.ends_with('\n'), "a read adds whole lines");
        lines_out += static_cast<std::size_t>(std::count(added.begin(), added.end(), '\n'));
        require(lines_out == line_feeds_read,
                "each line comes out as soon as its line feed is read, not before");
    }
    cutter.finish(relayed);

    require(relayed == reference_lines(output),
            "the lines are those of the whole output, in order, none lost or invented");
    std::string_view lines = relayed;
    while (!lines.empty()) {
        const std::size_t newline = lines.find('\n');
        require(marlox::protocol::is_valid_utf8(lines.substr(0, newline)),
                "every line is valid UTF-8");
        lines.remove_prefix(newline + 1);
    }
    return 0;
}
