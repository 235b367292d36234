// Strict request parsing in one pass: nlohmann-json's event parser plus the checks it lacks.
#include "protocol/request.h"

#include <nlohmann/json.hpp>

namespace marlox::protocol {

using nlohmann::json;

// Receives the parser's events in text order. It tracks the nesting depth and keeps the names
// of the top-level object's members and their string values; everything else passes by. A
// handler that returns false stops the parse, which then counts as malformed.
class Request::Reader {
public:
    explicit Reader(Request& request) : request_(request) {}

    // A member starts out as not a string; only a string event at its level changes that, so
    // a later non-string value of a repeated name hides an earlier string, as the rule says.
    bool key(std::string& name) {
        if (depth_ == 1) {
            request_.members_.push_back({request_.strings_.size(), name.size(), kNotString});
            request_.strings_ += name;
        }
        return true;
    }
    bool string(std::string& value) {
        if (depth_ == 1 && top_is_object_) {
            request_.members_.back().value_size = value.size();
            request_.strings_ += value;
        }
        return true;
    }

    bool start_object(std::size_t /*elements*/) {
        if (depth_ == 0) top_is_object_ = true;
        return enter();
    }
    bool start_array(std::size_t /*elements*/) { return enter(); }
    bool end_object() { return leave(); }
    bool end_array() { return leave(); }

    bool null() { return true; }
    bool boolean(bool /*value*/) { return true; }
    bool number_integer(json::number_integer_t /*value*/) { return true; }
    bool number_unsigned(json::number_unsigned_t /*value*/) { return true; }
    // The parser itself refuses a number that overflows a double, so only finite ones come here.
    bool number_float(json::number_float_t /*value*/, const std::string& /*text*/) { return true; }
    bool binary(json::binary_t& /*value*/) { return false; }  // only binary formats have these

    // Syntax errors, bad escapes and surrogates, overflowing numbers, trailing text.
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const json::exception& /*error*/) {
        return false;
    }

private:
    // Stopping at the first level too deep also bounds the parser's own stack.
    bool enter() { return ++depth_ <= kMaxJsonDepth; }
    bool leave() {
        --depth_;
        return true;
    }

    Request& request_;
    int depth_ = 0;  // containers open around the next event; the top-level value opens the first
    bool top_is_object_ = false;
};

std::optional<Request> Request::parse(std::string_view text) {
    // The library stops at a raw NUL as if the text ended there, and skips a leading byte
    // order mark; neither belongs in a strict JSON text.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;

    Request request;
    Reader reader(request);
    // Never throws: every error goes to Reader::parse_error. strict: nothing but JSON white
    // space may follow the value.
    if (!json::sax_parse(text, &reader, json::input_format_t::json, /*strict=*/true,
                         /*ignore_comments=*/false)) {
        return std::nullopt;
    }
    return request;
}

std::optional<std::string_view> Request::member(std::string_view name) const {
    const std::string_view strings = strings_;
    // The last occurrence of a name decides, whatever its value.
    for (auto m = members_.rbegin(); m != members_.rend(); ++m) {
        if (strings.substr(m->at, m->name_size) != name) continue;
        if (m->value_size == kNotString) return std::nullopt;
        return strings.substr(m->at + m->name_size, m->value_size);
    }
    return std::nullopt;
}

}  // namespace marlox::protocol
