// Request line reader: receives straight into the line, first line feed, length cap.
#include "control/request_line.h"

#include <algorithm>
#include <string_view>

#include "os/io.h"

namespace marlox::control {
namespace {

// Room for any ordinary request in one receive. The line doubles its room whenever it fills,
// so a long line costs few receives and its bytes are copied only when the string grows.
constexpr std::size_t kFirstRoom = 1024;
// How far the room reaches past the cap. A close with unread bytes makes the client's next
// receive fail with a reset, so a client that sent a little more than the cap would lose the
// reply; up to this much more is read and then dropped.
constexpr std::size_t kRoomPastCap = std::size_t{8} * 1024;

}  // namespace

RequestLine read_request_line(int conn) {
    auto reader = os::dup_cloexec(conn);
    if (!reader) return {LineStatus::kFailed, {}};

    // No receive buffer on the stack: a frame of several pages is probed page by page on entry
    // (stack-clash protection), so every connection still waiting for its request would hold
    // those pages. On the heap only the room a receive may fill is ever touched.
    std::string line(kFirstRoom, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == line.size()) {
            line.resize(std::min(2 * line.size(), kMaxRequestLine + kRoomPastCap));
        }
        const auto received =
            os::recv_some(reader->get(), {line.data() + used, line.size() - used});
        if (!received) return {LineStatus::kFailed, {}};
        if (*received == 0) {
            line.resize(used);
            return {LineStatus::kLine, std::move(line)};
        }
        const std::size_t newline = std::string_view(line).substr(used, *received).find('\n');
        if (newline != std::string_view::npos) {
            // Bytes after the line feed are dropped: a connection carries one request.
            const std::size_t length = used + newline + 1;
            if (length > kMaxRequestLine) return {LineStatus::kTooLong, {}};
            line.resize(length);
            return {LineStatus::kLine, std::move(line)};
        }
        used += *received;
        if (used > kMaxRequestLine) return {LineStatus::kTooLong, {}};
    }
}

}  // namespace marlox::control
