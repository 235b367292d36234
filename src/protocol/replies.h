// The daemon's reply lines, byte for byte as clients match them.
#pragma once

#include <string_view>

namespace marlox::protocol {

inline constexpr std::string_view kReplyUnauthorized = "{\"error\":\"unauthorized\"}\n";
inline constexpr std::string_view kReplyTooManyConnections =
    "{\"error\":\"too many connections\"}\n";
inline constexpr std::string_view kReplyBadJson = "{\"error\":\"bad json\"}\n";
inline constexpr std::string_view kReplyRequestTooLong = "{\"error\":\"request too long\"}\n";
inline constexpr std::string_view kReplyUnknownCmd = "{\"error\":\"unknown cmd\"}\n";
inline constexpr std::string_view kReplyOk = "{\"ok\":true}\n";
inline constexpr std::string_view kReplyRunning = "{\"running\":true}\n";
inline constexpr std::string_view kReplyNotRunning = "{\"running\":false}\n";
inline constexpr std::string_view kReplyAlreadyConnected = "{\"error\":\"already connected\"}\n";
inline constexpr std::string_view kReplyWriteConfFailed = "{\"error\":\"write conf failed\"}\n";
// The spawn error and the invalid-field reply carry variable text between these pieces.
inline constexpr std::string_view kReplySpawnPrefix = "{\"error\":\"spawn: ";
inline constexpr std::string_view kReplyInvalidFieldPrefix = "{\"error\":\"invalid field: ";
inline constexpr std::string_view kReplyErrorSuffix = "\"}\n";

}  // namespace marlox::protocol
