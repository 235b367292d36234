// Request lines encoded by nlohmann-json.
#include "lib/request_builder.h"

#include <nlohmann/json.hpp>
#include <string>

namespace marlox::lib {
namespace {

std::string dump(const nlohmann::json& value) {
    // The replace handler makes dump() unable to throw; the values were checked to be UTF-8
    // before they got here, so nothing is ever replaced.
    return value.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                      nlohmann::json::error_handler_t::replace);
}

std::string encode(const nlohmann::json& request) { return dump(request) + '\n'; }

// A JSON string's contents, escaped as the encoder escapes every other value.
void append_escaped(os::Secret& out, std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    for (const char c : text) {
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out.append("\\u00");
                    out.append(kHex.substr(static_cast<unsigned char>(c) >> 4, 1));
                    out.append(kHex.substr(static_cast<unsigned char>(c) & 0xf, 1));
                } else {
                    out.append({&c, 1});
                }
        }
    }
}

constexpr std::string_view kTicketMember = R"(,"ticket":")";

}  // namespace

std::string status_request() { return encode({{"cmd", "status"}}); }

std::string disconnect_request() { return encode({{"cmd", "disconnect"}}); }

std::string watch_request() { return encode({{"cmd", "watch"}}); }

os::Secret connect_request(const ConnectValues& options, std::string_view ticket) {
    // The encoder never sees the ticket, since the strings it builds and frees would keep
    // copies of it. The members sort by name as the encoder writes them: those before
    // "ticket" from one object, the ticket by hand, those after it from another.
    nlohmann::json before = {
        {"cmd", "connect"},
        {"host", options.host},
        {"port", options.port},
    };
    if (options.realm) before["realm"] = *options.realm;
    nlohmann::json after = {{"username", options.username}};
    if (options.trusted_cert) after["trusted_cert"] = *options.trusted_cert;
    std::string head = dump(before);  // {...}
    head.pop_back();
    const std::string tail = dump(after).erase(0, 1) + '\n';  // ...}

    // At most six bytes (\u00XX) for each byte of the ticket.
    os::Secret request(head.size() + kTicketMember.size() + 6 * ticket.size() + 2 + tail.size());
    request.append(head);
    request.append(kTicketMember);
    append_escaped(request, ticket);
    request.append("\",");
    request.append(tail);
    return request;
}

}  // namespace marlox::lib
