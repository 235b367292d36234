// Request line reader: 8 KiB receives, first line feed, length cap.
#include "control/request_line.h"

#include <array>
#include <string_view>

#include "os/io.h"

namespace marlox::control {

RequestLine read_request_line(int conn) {
    auto reader = os::dup_cloexec(conn);
    if (!reader) return {LineStatus::kFailed, {}};

    std::string line;
    std::array<char, 8192> buffer;
    for (;;) {
        const auto received = os::recv_some(reader->get(), buffer);
        if (!received) return {LineStatus::kFailed, {}};
        if (*received == 0) return {LineStatus::kLine, std::move(line)};

        const std::string_view chunk(buffer.data(), *received);
        const std::size_t newline = chunk.find('\n');
        const std::size_t take = newline == std::string_view::npos ? chunk.size() : newline + 1;
        if (line.size() + take > kMaxRequestLine) return {LineStatus::kTooLong, {}};
        line.append(chunk.substr(0, take));
        if (newline != std::string_view::npos) return {LineStatus::kLine, std::move(line)};
    }
}

}  // namespace marlox::control
