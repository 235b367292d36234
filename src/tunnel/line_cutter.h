// LineCutter: turns a byte stream, chunk by chunk, into whole relayed lines.
#pragma once

#include <string>
#include <string_view>

namespace marlox::tunnel {

// Cuts output into lines at each line feed. A line's text is what precedes its line feed, less
// one carriage return directly before it; a carriage return anywhere else stays. Every ill-formed
// UTF-8 sequence becomes U+FFFD, so a client always receives text. Each line is appended to the
// output as its text plus one line feed.
//
// The unfinished tail is kept across feed() calls at any length, so the way output is split
// into chunks never changes the result: a line longer than a read, a carriage return ending one
// chunk with its line feed starting the next, a character split between two reads all come out
// as if the output had arrived at once. Buffers are reused: no allocation per line.
class LineCutter {
public:
    // Appends every line that bytes completes to out.
    void feed(std::string_view bytes, std::string& out);
    // End of input: appends the unfinished tail, if any, as a last line (with a line feed).
    void finish(std::string& out);

private:
    // text is a line's bytes before its line feed; the carriage return rule applies.
    static void append_line_before_lf(std::string_view text, std::string& out);
    static void append_line(std::string_view text, std::string& out);

    std::string tail_;
};

}  // namespace marlox::tunnel
