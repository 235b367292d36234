// ControlEscaper: the tunnel's output made safe for a terminal, its control characters shown.
#pragma once

#include <string>
#include <string_view>

namespace marlox::ctl {

// A line from the tunnel could hold ESC ] 0 ; ... BEL (which retitles the terminal), a cursor
// movement or a CSI (U+009B) that rewrites what the user sees. On a terminal these are shown as
// escapes instead: ESC as \x1b, the other C0 controls but tab and line feed as \xHH, DEL as
// \x7f, and the C1 controls U+0080..U+009F as \u0080..\u009f. A backslash itself is shown as
// \\, so every backslash on the screen begins one of these escapes. Everything else, tab, line
// feed and the rest of UTF-8 included, passes unchanged.
//
// The stream arrives in pieces cut anywhere, so the C2 that begins a two-byte C1 control may end
// one piece: it is held back until the next piece shows what it begins.
class ControlEscaper {
public:
    // The visible form of bytes, which continue the bytes of every earlier call.
    std::string feed(std::string_view bytes);

    // At the end of the stream: a C2 still held back (the stream ended inside a character) as
    // \xc2, else nothing.
    std::string finish();

private:
    bool held_c2_ = false;
};

}  // namespace marlox::ctl
