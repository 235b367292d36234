// Request: a request line's JSON checked in one pass, and the one rule for reading its members.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marlox::protocol {

// A request accepted by the strict JSON rules: RFC 8259 exactly, one value, at most 127 levels
// of nesting, no number beyond the range of a double, no unpaired surrogate escape, no raw NUL
// and no byte order mark; the last of repeated member names wins.
//
// Only what member() can answer is kept: the names of the top-level object's members and their
// values where these are strings, decoded. No tree of the value is built: parsing takes time
// linear in the text, and what a request keeps takes no more bytes than it took in the text.
class Request {
public:
    // nullopt when text (already trimmed) is not one such JSON value. Never throws.
    static std::optional<Request> parse(std::string_view text);

    // The member called name if the request is an object and that member is a JSON string;
    // otherwise nullopt. The view lives as long as this Request. Linear in the size of the
    // members kept: the daemon asks for a handful.
    std::optional<std::string_view> member(std::string_view name) const;

private:
    class Reader;  // the parse's event handler, which writes members_

    Request() = default;

    // For each member of the top-level object, in the order of the text, repeats included: the
    // length of its name, the name, then 0 if its value is not a string, else the length of the
    // value plus one and the value. A length takes 7 bits a byte, low bits first, the top bit
    // set on all but its last byte; so a member takes no more room here than in the text.
    std::string members_;
};

// Nesting deeper than this many arrays and objects makes a request malformed.
inline constexpr int kMaxJsonDepth = 127;

}  // namespace marlox::protocol
