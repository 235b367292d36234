// JSON output lines, encoded by nlohmann-json.
#include "ctl/json_output.h"

#include <nlohmann/json.hpp>

namespace marlox::ctl {

namespace {

// The encoder escapes the C0 controls only. DEL and the C1 controls (U+0080..U+009F, CSI among
// them) are just as able to drive a terminal, so they leave as escapes too: the same string for
// a JSON reader, inert on a screen.
std::string escape_del_and_c1(std::string_view encoded) {
    std::string out;
    out.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const auto byte = static_cast<unsigned char>(encoded[i]);
        const auto next = i + 1 < encoded.size() ? static_cast<unsigned char>(encoded[i + 1]) : 0;
        if (byte == 0x7f) {
            out += "\\u007f";
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            constexpr std::string_view kHex = "0123456789abcdef";
            out.append("\\u00").append(1, kHex[next >> 4]).append(1, kHex[next & 0xf]);
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace

std::string json_line(std::string_view name, std::string_view text) {
    const nlohmann::json object = {{name, text}};
    // The daemon's lines are UTF-8 already; the replace handler makes dump() unable to throw.
    return escape_del_and_c1(object.dump(/*indent=*/-1, /*indent_char=*/' ',
                                         /*ensure_ascii=*/false,
                                         nlohmann::json::error_handler_t::replace)) +
           '\n';
}

}  // namespace marlox::ctl
