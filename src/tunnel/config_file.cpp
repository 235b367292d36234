// Configuration text from a request, the unsafe-value check and the exclusive writer.
#include "tunnel/config_file.h"

#include <array>
#include <cstdint>

#include "os/fs.h"
#include "os/io.h"

namespace marlox::tunnel {
namespace {

constexpr std::size_t kAnyLength = SIZE_MAX;

struct ConfigLine {
    std::string_view key;     // in the file
    std::string_view member;  // in the request
    bool exact;               // must reach openfortivpn unchanged, white space at its ends too
    std::size_t max_bytes;    // what openfortivpn keeps of it; it cuts a longer value silently
};

// The lengths are the fixed buffers of openfortivpn 1.19. A value cut short would reach the
// gateway as another user name or password, and the login would fail without a reason.
constexpr std::array<ConfigLine, 5> kLines = {{
    {"host", "host", false, 253},
    {"port", "port", false, kAnyLength},
    {"username", "username", false, 64},
    {"password", "ticket", true, 256},
    {"trusted-cert", "trusted_cert", false, kAnyLength},
}};

// The realm goes on openfortivpn's command line, not into the file, so only its length counts
// here; a NUL in it is the launch's to refuse.
constexpr std::string_view kRealmMember = "realm";
constexpr std::size_t kMaxRealmBytes = 63;

// openfortivpn trims these from both ends of every value it reads.
constexpr std::string_view kTrimmed = " \t\v\f";

bool is_unsafe(std::string_view value, bool exact) {
    if (value.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) return true;
    // A trimmed ticket would be another password, and the login would fail without a reason.
    return exact && !value.empty() &&
           (kTrimmed.find(value.front()) != std::string_view::npos ||
            kTrimmed.find(value.back()) != std::string_view::npos);
}

}  // namespace

std::optional<std::string_view> find_unsafe_field(const protocol::Request& request) {
    for (const ConfigLine& line : kLines) {
        const auto value = request.member(line.member);
        if (value && (value->size() > line.max_bytes || is_unsafe(*value, line.exact))) {
            return line.member;
        }
    }
    if (request.member(kRealmMember).value_or("").size() > kMaxRealmBytes) return kRealmMember;
    return std::nullopt;
}

std::string config_text(const protocol::Request& request) {
    std::string text;
    for (const ConfigLine& line : kLines) {
        text.append(line.key).append(" = ");
        text.append(request.member(line.member).value_or(std::string_view()));
        text.push_back('\n');
    }
    return text;
}

os::Result<void> write_config(const std::string& path, std::string_view text) {
    // Any failure to remove (nothing there, a directory, ...) shows up as the create's EEXIST or
    // the like, so it need not be judged here.
    (void)os::remove_file(path);
    auto file = os::create_new_file(path, 0600);
    if (!file) return file.error();
    return os::write_all(file->get(), text);
}

}  // namespace marlox::tunnel
