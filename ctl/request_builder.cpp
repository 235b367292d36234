// Request lines encoded by nlohmann-json.
#include "ctl/request_builder.h"

#include <nlohmann/json.hpp>

namespace marlox::ctl {
namespace {

std::string encode(const nlohmann::json& request) {
    // The replace handler makes dump() unable to throw; the values were checked to be UTF-8
    // before they got here, so nothing is ever replaced.
    return request.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                        nlohmann::json::error_handler_t::replace) +
           '\n';
}

}  // namespace

std::string status_request() { return encode({{"cmd", "status"}}); }

std::string disconnect_request() { return encode({{"cmd", "disconnect"}}); }

std::string connect_request(const ConnectOptions& options, std::string_view ticket) {
    nlohmann::json request = {
        {"cmd", "connect"},     {"host", options.host},
        {"port", options.port}, {"username", options.username},
        {"ticket", ticket},
    };
    if (options.realm) request["realm"] = *options.realm;
    if (options.trusted_cert) request["trusted_cert"] = *options.trusted_cert;
    return encode(request);
}

}  // namespace marlox::ctl
