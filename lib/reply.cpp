// Exact matching of the daemon's error replies.
#include "lib/reply.h"

#include <algorithm>
#include <array>

namespace marlox::lib {
namespace {

constexpr std::string_view kErrorPrefix = R"({"error":")";
constexpr std::string_view kErrorSuffix = R"("})";
constexpr std::string_view kInvalidField = "invalid field: ";
constexpr std::string_view kSpawn = "spawn: ";

struct FixedError {
    std::string_view text;
    marlox_error kind;
};

constexpr std::array<FixedError, 7> kFixedErrors{{
    {"unauthorized", MARLOX_ERROR_UNAUTHORIZED},
    {"too many connections", MARLOX_ERROR_TOO_MANY_CONNECTIONS},
    {"bad json", MARLOX_ERROR_BAD_JSON},
    {"request too long", MARLOX_ERROR_REQUEST_TOO_LONG},
    {"unknown cmd", MARLOX_ERROR_UNKNOWN_CMD},
    {"already connected", MARLOX_ERROR_ALREADY_CONNECTED},
    {"write conf failed", MARLOX_ERROR_WRITE_CONF_FAILED},
}};

// The members a connect request has: the only names "invalid field: " is followed by.
constexpr std::array<std::string_view, 6> kConnectMembers{"host",   "port",         "username",
                                                          "ticket", "trusted_cert", "realm"};

}  // namespace

std::optional<std::string_view> error_text(std::string_view line) {
    if (line.size() < kErrorPrefix.size() + kErrorSuffix.size()) return std::nullopt;
    if (!line.starts_with(kErrorPrefix) || !line.ends_with(kErrorSuffix)) return std::nullopt;
    return line.substr(kErrorPrefix.size(),
                       line.size() - kErrorPrefix.size() - kErrorSuffix.size());
}

marlox_error error_kind(std::string_view text) {
    for (const FixedError& fixed : kFixedErrors) {
        if (text == fixed.text) return fixed.kind;
    }
    if (text.starts_with(kSpawn)) return MARLOX_ERROR_SPAWN;
    if (text.starts_with(kInvalidField) &&
        std::find(kConnectMembers.begin(), kConnectMembers.end(),
                  text.substr(kInvalidField.size())) != kConnectMembers.end()) {
        return MARLOX_ERROR_INVALID_FIELD;
    }
    return MARLOX_ERROR_OTHER;
}

std::string_view error_detail(marlox_error kind, std::string_view text) {
    if (kind == MARLOX_ERROR_INVALID_FIELD) return text.substr(kInvalidField.size());
    if (kind == MARLOX_ERROR_SPAWN) return text.substr(kSpawn.size());
    return {};
}

std::optional<marlox_error> connect_error(std::string_view line) {
    const auto text = error_text(line);
    if (!text) return std::nullopt;
    const marlox_error kind = error_kind(*text);
    if (kind == MARLOX_ERROR_OTHER) return std::nullopt;
    return kind;
}

}  // namespace marlox::lib
