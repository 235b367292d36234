// Line cutting with carriage-return stripping and UTF-8 repair.
#include "tunnel/line_cutter.h"

#include "protocol/utf8.h"

namespace marlox::tunnel {

void LineCutter::feed(std::string_view bytes, std::string& out) {
    for (std::size_t newline = bytes.find('\n'); newline != std::string_view::npos;
         newline = bytes.find('\n')) {
        if (tail_.empty()) {
            append_line_before_lf(bytes.substr(0, newline), out);
        } else {
            // clear() keeps the capacity, so a long-running relay stops allocating.
            tail_.append(bytes.substr(0, newline));
            append_line_before_lf(tail_, out);
            tail_.clear();
        }
        bytes.remove_prefix(newline + 1);
    }
    tail_.append(bytes);
}

void LineCutter::finish(std::string& out) {
    if (tail_.empty()) return;
    // No line feed ends this line, so a carriage return at its end is ordinary text.
    append_line(tail_, out);
    tail_.clear();
}

void LineCutter::append_line_before_lf(std::string_view text, std::string& out) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    append_line(text, out);
}

void LineCutter::append_line(std::string_view text, std::string& out) {
    // Output is nearly always valid: check once, then copy in one piece.
    if (protocol::is_valid_utf8(text)) {
        out.append(text);
    } else {
        protocol::append_utf8_repaired(out, text);
    }
    out.push_back('\n');
}

}  // namespace marlox::tunnel
