// Control characters of the tunnel's output as visible escapes, for a terminal.
#include "ctl/control_escaper.h"

namespace marlox::ctl {
namespace {

constexpr unsigned char kC1Lead = 0xc2;  // U+0080..U+00BF are C2 followed by 80..BF

void append_escape(std::string& out, std::string_view prefix, unsigned char byte) {
    constexpr std::string_view kHex = "0123456789abcdef";
    out += prefix;
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

}  // namespace

std::string ControlEscaper::feed(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 1);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (held_c2_) {
            held_c2_ = false;
            if (byte >= 0x80 && byte <= 0x9f) {
                append_escape(out, "\\u00", byte);
                continue;
            }
            out += static_cast<char>(kC1Lead);  // another character: U+00A0..U+00BF
        }
        if (byte == kC1Lead) {
            held_c2_ = true;
        } else if (c == '\\') {
            out += "\\\\";
        } else if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7f) {
            append_escape(out, "\\x", byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::string ControlEscaper::finish() {
    if (!held_c2_) return {};
    held_c2_ = false;
    std::string out;
    append_escape(out, "\\x", kC1Lead);
    return out;
}

}  // namespace marlox::ctl
