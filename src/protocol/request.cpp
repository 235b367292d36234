// Strict request parsing in one pass: nlohmann-json's event parser plus the checks it lacks.
#include "protocol/request.h"

#include <nlohmann/json.hpp>

namespace marlox::protocol {
namespace {

using nlohmann::json;

// The lengths in Request::members_: 7 bits a byte, low bits first, the top bit meaning "more".
void append_length(std::string& out, std::size_t length) {
    for (; length >= 0x80; length >>= 7) out += static_cast<char>(0x80 | (length & 0x7F));
    out += static_cast<char>(length);
}

// Reads the length that starts at pos and moves pos past it.
std::size_t read_length(std::string_view in, std::size_t& pos) {
    std::size_t length = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(in[pos++]);
        length |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (byte < 0x80) return length;
    }
}

}  // namespace

// Receives the parser's events in text order. It tracks the nesting depth and writes each
// member of the top-level object to members_; everything deeper passes by. A handler that
// returns false stops the parse, which then counts as malformed.
class Request::Reader {
public:
    explicit Reader(std::string& members) : members_(members) {}

    bool key(std::string& name) {
        if (depth_ == 1) {
            append_length(members_, name.size());
            members_ += name;
        }
        return true;
    }
    bool string(std::string& value) {
        if (at_member_value()) {
            append_length(members_, value.size() + 1);
            members_ += value;
        }
        return true;
    }
    bool null() { return other_value(); }
    bool boolean(bool /*value*/) { return other_value(); }
    bool number_integer(json::number_integer_t /*value*/) { return other_value(); }
    bool number_unsigned(json::number_unsigned_t /*value*/) { return other_value(); }
    // The parser itself refuses a number that overflows a double, so only finite ones come here.
    bool number_float(json::number_float_t /*value*/, const std::string& /*text*/) {
        return other_value();
    }
    bool binary(json::binary_t& /*value*/) { return false; }  // only binary formats have these

    bool start_object(std::size_t /*elements*/) {
        if (depth_ == 0) top_is_object_ = true;
        return other_value() && enter();
    }
    bool start_array(std::size_t /*elements*/) { return other_value() && enter(); }
    bool end_object() { return leave(); }
    bool end_array() { return leave(); }

    // Syntax errors, bad escapes and surrogates, overflowing numbers, trailing text.
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const json::exception& /*error*/) {
        return false;
    }

private:
    bool at_member_value() const { return depth_ == 1 && top_is_object_; }
    // A value that is not a string: its member, if it is one, reads as absent.
    bool other_value() {
        if (at_member_value()) members_ += '\0';
        return true;
    }
    // Stopping at the first level too deep also bounds the parser's own stack.
    bool enter() { return ++depth_ <= kMaxJsonDepth; }
    bool leave() {
        --depth_;
        return true;
    }

    std::string& members_;
    int depth_ = 0;  // containers open around the next event
    bool top_is_object_ = false;
};

std::optional<Request> Request::parse(std::string_view text) {
    // The library stops at a raw NUL as if the text ended there, and skips a leading byte
    // order mark; neither belongs in a strict JSON text.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;

    Request request;
    Reader reader(request.members_);
    // Never throws: every error goes to Reader::parse_error. strict: nothing but JSON white
    // space may follow the value.
    if (!json::sax_parse(text, &reader, json::input_format_t::json, /*strict=*/true,
                         /*ignore_comments=*/false)) {
        return std::nullopt;
    }
    return request;
}

std::optional<std::string_view> Request::member(std::string_view name) const {
    const std::string_view members = members_;
    std::optional<std::string_view> found;
    // Every occurrence of the name overrides the ones before it, whatever its value.
    for (std::size_t pos = 0; pos < members.size();) {
        const std::size_t name_size = read_length(members, pos);
        const bool match = members.substr(pos, name_size) == name;
        pos += name_size;
        const std::size_t value_size = read_length(members, pos);  // 0: not a string
        const std::string_view value = members.substr(pos, value_size > 0 ? value_size - 1 : 0);
        pos += value.size();
        if (match) found = value_size > 0 ? std::optional(value) : std::nullopt;
    }
    return found;
}

}  // namespace marlox::protocol
