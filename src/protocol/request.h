// Request: the parsed JSON value of a request line, and the one rule for reading its members.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

namespace marlox::protocol {

// A request accepted by the strict JSON rules: RFC 8259 exactly, one value, at most 127 levels
// of nesting, no number beyond the range of a double, no unpaired surrogate escape, no raw NUL
// and no byte order mark; the last of repeated member names wins.
class Request {
public:
    // nullopt when text (already trimmed) is not one such JSON value. Never throws.
    static std::optional<Request> parse(std::string_view text);

    Request(Request&&) noexcept;
    Request& operator=(Request&&) noexcept;
    ~Request();

    // The member called name if the request is an object and that member is a JSON string;
    // otherwise nullopt. The view lives as long as this Request.
    std::optional<std::string_view> member(std::string_view name) const;

private:
    explicit Request(std::unique_ptr<nlohmann::json> value);

    std::unique_ptr<nlohmann::json> value_;
};

// Nesting deeper than this many arrays and objects makes a request malformed.
inline constexpr int kMaxJsonDepth = 127;

}  // namespace marlox::protocol
