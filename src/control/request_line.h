// Reading the one request line of a control connection.
#pragma once

#include <cstddef>
#include <string>

namespace marlox::control {

// The longest request line accepted, its line feed included. Without a cap a client that never
// sends a line feed would make the daemon's memory grow without bound.
inline constexpr std::size_t kMaxRequestLine = std::size_t{64} * 1024;

enum class LineStatus {
    kLine,     // text holds the line, up to and including its line feed if one came
    kTooLong,  // more than kMaxRequestLine bytes arrived without a line feed
    kFailed,   // the duplicate could not be made or a receive failed: close without a reply
};

struct RequestLine {
    LineStatus status;
    std::string text;
};

// Reads up to the first line feed, or to the end of the client's sending side, through a
// close-on-exec duplicate of conn that is closed before returning. Bytes that follow the line
// feed in the same receive are dropped: a connection carries one request.
RequestLine read_request_line(int conn);

}  // namespace marlox::control
