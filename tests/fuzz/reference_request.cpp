// The former request parser, unchanged but for its name, plus a walk over its member names.
#include "reference_request.h"

#include <nlohmann/json.hpp>

#include "protocol/request.h"

namespace marlox::fuzz {

using nlohmann::json;
using protocol::kMaxJsonDepth;

namespace {

void collect_names(const json& value, std::vector<std::string>& names) {
    if (value.is_object()) {
        for (const auto& item : value.items()) {
            names.push_back(item.key());
            collect_names(item.value(), names);
        }
    } else if (value.is_array()) {
        for (const json& element : value) collect_names(element, names);
    }
}

}  // namespace

ReferenceRequest::ReferenceRequest(std::unique_ptr<json> value) : value_(std::move(value)) {}
ReferenceRequest::ReferenceRequest(ReferenceRequest&&) noexcept = default;
ReferenceRequest& ReferenceRequest::operator=(ReferenceRequest&&) noexcept = default;
ReferenceRequest::~ReferenceRequest() = default;

std::optional<ReferenceRequest> ReferenceRequest::parse(std::string_view text) {
    // The library stops at a raw NUL as if the text ended there, and skips a leading byte
    // order mark; neither belongs in a strict JSON text.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;

    bool too_deep = false;
    // depth counts the containers around the one that starts, so the top level is 0.
    const json::parser_callback_t limit_depth = [&too_deep](int depth, json::parse_event_t event,
                                                            json&) {
        if ((event == json::parse_event_t::object_start ||
             event == json::parse_event_t::array_start) &&
            depth >= kMaxJsonDepth) {
            too_deep = true;
        }
        return true;
    };
    // Non-throwing: out-of-range numbers and bad surrogates come back as a discarded value.
    auto value = std::make_unique<json>(
        json::parse(text, limit_depth, /*allow_exceptions=*/false, /*ignore_comments=*/false));
    if (value->is_discarded() || too_deep) return std::nullopt;
    return ReferenceRequest(std::move(value));
}

std::optional<std::string_view> ReferenceRequest::member(std::string_view name) const {
    if (!value_->is_object()) return std::nullopt;
    const auto found = value_->find(name);
    if (found == value_->end() || !found->is_string()) return std::nullopt;
    return std::string_view(found->get_ref<const std::string&>());
}

std::vector<std::string> ReferenceRequest::all_member_names() const {
    std::vector<std::string> names;
    collect_names(*value_, names);
    return names;
}

}  // namespace marlox::fuzz
