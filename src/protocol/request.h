// Request: a request line's JSON checked in one pass, and the one rule for reading its members.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlox::protocol {

// A request accepted by the strict JSON rules: RFC 8259 exactly, one value, at most 127 levels
// of nesting, no number beyond the range of a double, no unpaired surrogate escape, no raw NUL
// and no byte order mark; the last of repeated member names wins.
//
// Only what member() can answer is kept: the names of the top-level object's members and their
// values where these are strings, decoded. Parsing takes time linear in the text and no tree
// of the value is built, so a request's cost is its length, whatever its shape.
class Request {
public:
    // nullopt when text (already trimmed) is not one such JSON value. Never throws.
    static std::optional<Request> parse(std::string_view text);

    // The member called name if the request is an object and that member is a JSON string;
    // otherwise nullopt. The view lives as long as this Request. Linear in the number of
    // members: the daemon asks for a handful.
    std::optional<std::string_view> member(std::string_view name) const;

private:
    class Reader;  // the parse's event handler, which fills in the two fields below

    // One top-level member: its name at strings_[at], followed by its value if that is a string.
    struct Member {
        std::size_t at;
        std::size_t name_size;
        std::size_t value_size;  // kNotString for any other value
    };
    static constexpr std::size_t kNotString = static_cast<std::size_t>(-1);

    Request() = default;

    std::string strings_;
    std::vector<Member> members_;  // in the order of the text, repeats included
};

// Nesting deeper than this many arrays and objects makes a request malformed.
inline constexpr int kMaxJsonDepth = 127;

}  // namespace marlox::protocol
