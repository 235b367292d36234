// Fuzz target for the line relay's cutting, UTF-8 repair and line-length bound: pipe output in
// any chunking.
//
// Input layout: byte 0's low four bits say how many chunk-size bytes follow (0 to 15), its high
// four bits the longest relayed line (0: the daemon's own 65536; 1 to 15: 4 to 18 bytes, so that
// short inputs reach the bound); the chunk-size bytes give the sizes of the reads, used in turn (a
// zero byte stands for a full 8192-byte read); the rest is what the tunnel process printed. The
// cutter's lines must equal a plain reference that cuts the whole output at once, repairs each
// line by the Unicode definition and splits it greedily at character boundaries.
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

// A repaired line in pieces of at most max_line bytes, each as long as it can be without ending
// inside a character, each ended by a line feed.
std::string reference_pieces(std::string_view line, std::size_t max_line) {
    std::string out;
    do {
        std::size_t cut = std::min(line.size(), max_line);
        while (cut < line.size() && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        out.append(line.substr(0, cut)).push_back('\n');
        line.remove_prefix(cut);
    } while (!line.empty());
    return out;
}

// The whole output cut at once, one entry per line: text before each line feed, less one
// carriage return right before it; a last unfinished line as it is; each line repaired and cut
// into pieces.
std::vector<std::string> reference_lines(std::string_view output, std::size_t max_line) {
    std::vector<std::string> lines;
    while (!output.empty()) {
        const std::size_t newline = output.find('\n');
        std::string_view line = output.substr(0, newline);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(reference_pieces(reference_repair(line), max_line));
        output.remove_prefix(newline == std::string_view::npos ? output.size() : newline + 1);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.empty()) return 0;
    const auto head = static_cast<unsigned char>(input[0]);
    const std::size_t count = std::min<std::size_t>(head % 16, input.size() - 1);
    const std::size_t max_line = head / 16 == 0 ? marlox::tunnel::kMaxLineBytes : 3 + head / 16;
    std::vector<std::size_t> reads;
    for (std::size_t i = 1; i <= count; ++i) {
        const auto byte = static_cast<unsigned char>(input[i]);
        reads.push_back(byte == 0 ? kReadSize : byte);
    }
    if (reads.empty()) reads.push_back(kReadSize);
    const std::string_view output = input.substr(count + 1);

    const std::vector<std::string> expected = reference_lines(output, max_line);
    marlox::tunnel::LineCutter cutter(max_line);
    std::string relayed;
    std::size_t line_feeds_read = 0;
    std::size_t due = 0;  // what the lines ended by the line feeds read so far make up
    std::string_view rest = output;
    for (std::size_t turn = 0; !rest.empty(); ++turn) {
        const std::string_view read = rest.substr(0, reads[turn % reads.size()]);
        rest.remove_prefix(read.size());
        for (std::size_t n = std::count(read.begin(), read.end(), '\n'); n > 0; --n) {
            due += expected[line_feeds_read++].size();
        }
        const std::size_t before = relayed.size();
        cutter.feed(read, relayed);
        const std::string_view added = std::string_view(relayed).substr(before);
        require(added.empty() || added.ends_with('\n'), "a read adds whole lines and pieces");
        require(relayed.size() >= due, "each line comes out as soon as its line feed is read");
        require(cutter.held() <= max_line + 3, "the unfinished line held stays bounded");
    }
    cutter.finish(relayed);

    std::string all;
    for (const std::string& line : expected) all += line;
    require(relayed == all,
            "the lines are those of the whole output, in order, none lost or invented");
    std::string_view lines = relayed;
    while (!lines.empty()) {
        const std::size_t newline = lines.find('\n');
        require(newline <= max_line, "no relayed line is longer than the bound");
        require(marlox::protocol::is_valid_utf8(lines.substr(0, newline)),
                "every line is valid UTF-8");
        lines.remove_prefix(newline + 1);
    }
    return 0;
}
