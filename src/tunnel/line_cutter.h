// LineCutter: turns a byte stream, chunk by chunk, into relayed lines of bounded length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marlox::tunnel {

// The longest text one relayed line carries: a longer output line leaves in pieces.
inline constexpr std::size_t kMaxLineBytes = 65536;

// Cuts output into lines at each line feed. A line's text is what precedes its line feed, less
// one carriage return directly before it; a carriage return anywhere else stays. Every ill-formed
// UTF-8 sequence becomes U+FFFD, so a client always receives text. A text longer than max_line
// bytes (once repaired) is cut into pieces, each as long as it can be without passing max_line
// or splitting a character, so joining a line's pieces gives the line back. Each line or piece is
// appended to the output as its text plus one line feed.
//
// The way output is split into chunks never changes the result: a carriage return ending one
// chunk with its line feed starting the next, a character split between two reads all come out
// as if the output had arrived at once. A piece leaves as soon as it is certain, so between feeds
// the cutter holds at most max_line + 3 bytes, however long a line the output makes: a process
// printing without line feeds cannot make the relay's memory grow.
class LineCutter {
public:
    // max_line must be at least 4, the longest character.
    explicit LineCutter(std::size_t max_line = kMaxLineBytes) noexcept : max_line_(max_line) {}

    // Appends every line and piece that bytes completes to out.
    void feed(std::string_view bytes, std::string& out);
    // End of input: appends the unfinished line, if any, as a last line (with a line feed).
    void finish(std::string& out);

    // Bytes of the unfinished line held until more output says where its pieces end.
    std::size_t held() const noexcept { return tail_.size(); }

private:
    // text is a whole line's text (carriage return rule applied): appends it as pieces.
    void append_pieces(std::string_view text, std::string& out) const;
    // Appends those of the unfinished line's pieces that no later output can change, and drops
    // them from tail_.
    void append_certain_pieces(std::string& out);
    void clear_tail() noexcept;

    std::size_t max_line_;
    std::string tail_;              // the unfinished line's bytes not yet relayed
    std::size_t scanned_ = 0;       // leading bytes of tail_ known to be whole characters
    std::size_t scanned_size_ = 0;  // the size of those once repaired: at most max_line_
};

}  // namespace marlox::tunnel
