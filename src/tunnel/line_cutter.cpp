// Line cutting with carriage-return stripping, UTF-8 repair and a bound on line length.
#include "tunnel/line_cutter.h"

#include "protocol/utf8.h"

namespace marlox::tunnel {
namespace {

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

void LineCutter::feed(std::string_view bytes, std::string& out) {
    for (std::size_t newline = bytes.find('\n'); newline != std::string_view::npos;
         newline = bytes.find('\n')) {
        std::string_view text = bytes.substr(0, newline);
        if (!tail_.empty()) {
            tail_.append(text);
            text = tail_;
        }
        if (text.ends_with('\r')) text.remove_suffix(1);
        append_pieces(text, out);
        clear_tail();
        bytes.remove_prefix(newline + 1);
    }
    if (bytes.empty()) return;
    tail_.append(bytes);
    append_certain_pieces(out);
}

void LineCutter::finish(std::string& out) {
    if (tail_.empty()) return;
    // No line feed ends this line, so a carriage return at its end is ordinary text.
    append_pieces(tail_, out);
    clear_tail();
}

void LineCutter::append_pieces(std::string_view text, std::string& out) const {
    // Output is nearly always valid: check once, then copy in one piece, or in a few when the
    // line is long, each ending before a byte that starts a character.
    if (protocol::is_valid_utf8(text)) {
        while (text.size() > max_line_) {
            std::size_t cut = max_line_;
            while (is_continuation(text[cut])) --cut;
            out.append(text.substr(0, cut)).push_back('\n');
            text.remove_prefix(cut);
        }
        out.append(text).push_back('\n');
        return;
    }
    std::size_t piece = 0;
    while (!text.empty()) {
        const protocol::Utf8Char c = protocol::first_utf8_char(text);
        const std::string_view repaired =
            c.valid ? text.substr(0, c.length) : protocol::kReplacementCharacter;
        if (piece + repaired.size() > max_line_) {
            out.push_back('\n');
            piece = 0;
        }
        out.append(repaired);
        piece += repaired.size();
        text.remove_prefix(c.length);
    }
    out.push_back('\n');
}

void LineCutter::append_certain_pieces(std::string& out) {
    std::size_t start = 0;  // in tail_, of the piece being measured
    for (;;) {
        const std::string_view rest = std::string_view(tail_).substr(start + scanned_);
        // A carriage return at the end is dropped if a line feed follows, and the bytes of a
        // character cut by the read are not yet known: neither counts until more output comes.
        if (rest.empty() || rest == "\r") break;
        const protocol::Utf8Char c = protocol::first_utf8_char(rest);
        if (c.incomplete) break;
        const std::size_t size = c.valid ? c.length : protocol::kReplacementCharacter.size();
        if (scanned_size_ + size > max_line_) {
            // Something certain follows the measured characters: they are a whole piece.
            protocol::append_utf8_repaired(out, std::string_view(tail_).substr(start, scanned_));
            out.push_back('\n');
            start += scanned_;
            scanned_ = 0;
            scanned_size_ = 0;
            continue;
        }
        scanned_ += c.length;
        scanned_size_ += size;
    }
    tail_.erase(0, start);
}

void LineCutter::clear_tail() noexcept {
    // clear() keeps the capacity, so a long-running relay stops allocating.
    tail_.clear();
    scanned_ = 0;
    scanned_size_ = 0;
}

}  // namespace marlox::tunnel
