// UTF-8 decoding by the well-formed byte sequences table of the Unicode standard.
#include "protocol/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace marlox::protocol {
namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;  // bytes consumed; for an error, the maximal ill-formed subpart (>= 1)
    bool valid;
    bool incomplete = false;  // text ended inside a sequence that was well-formed so far
};

// Decodes one character at the start of text (which is not empty).
Decoded decode(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) return {lead, 1, true};

    std::size_t length = 0;
    char32_t value = 0;
    // The range of the second byte depends on the lead: it excludes overlong forms,
    // surrogates and code points past U+10FFFF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, 1, false};
    }

    for (std::size_t i = 1; i < length; ++i) {
        if (i >= text.size()) return {0, i, false, true};
        const std::uint8_t next = byte(i);
        const std::uint8_t lo = i == 1 ? low : 0x80;
        const std::uint8_t hi = i == 1 ? high : 0xBF;
        if (next < lo || next > hi) return {0, i, false};
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length, true};
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Length of the white-space character that ends text, or 0. A white-space character is at most
// three bytes long, so only the last three bytes need looking at.
std::size_t trailing_white_space(std::string_view text) {
    for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
        const Decoded d = decode(text.substr(text.size() - length));
        if (d.valid && d.length == length) return is_white_space(d.code_point) ? length : 0;
    }
    return 0;
}

// Length of the plain ASCII run that starts text. Tunnel output is nearly all ASCII, so this
// is the relay's per-byte cost: eight bytes per step, a byte at a time only near the end.
std::size_t ascii_run(std::string_view text) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    std::size_t run = 0;
    for (std::uint64_t word; run + sizeof word <= text.size(); run += sizeof word) {
        std::memcpy(&word, text.data() + run, sizeof word);
        if ((word & kHighBits) != 0) break;
    }
    while (run < text.size() && static_cast<std::uint8_t>(text[run]) < 0x80) ++run;
    return run;
}

}  // namespace

Utf8Char first_utf8_char(std::string_view text) {
    const Decoded d = decode(text);
    return {d.length, d.valid, d.incomplete};
}

bool is_valid_utf8(std::string_view text) {
    for (;;) {
        text.remove_prefix(ascii_run(text));
        if (text.empty()) return true;
        const Decoded d = decode(text);
        if (!d.valid) return false;
        text.remove_prefix(d.length);
    }
}

void append_utf8_repaired(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const std::size_t run = ascii_run(text);
        if (run > 0) {
            out.append(text.substr(0, run));
            text.remove_prefix(run);
            continue;
        }
        const Decoded d = decode(text);
        if (d.valid) {
            out.append(text.substr(0, d.length));
        } else {
            out.append(kReplacementCharacter);
        }
        text.remove_prefix(d.length);
    }
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    while (!text.empty()) {
        const Decoded d = decode(text);
        if (!d.valid || !is_white_space(d.code_point)) break;
        text.remove_prefix(d.length);
    }
    while (const std::size_t length = trailing_white_space(text)) {
        text.remove_suffix(length);
    }
    return text;
}

}  // namespace marlox::protocol
