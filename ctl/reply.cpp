// Exact matching of the daemon's reply lines.
#include "ctl/reply.h"

#include <algorithm>
#include <array>

namespace marlox::ctl {
namespace {

struct FixedReply {
    std::string_view text;
    ReplyKind kind;
};

constexpr std::array<FixedReply, 10> kFixedReplies{{
    {R"({"error":"unauthorized"})", ReplyKind::kUnauthorized},
    {R"({"error":"too many connections"})", ReplyKind::kTooManyConnections},
    {R"({"error":"bad json"})", ReplyKind::kBadJson},
    {R"({"error":"request too long"})", ReplyKind::kRequestTooLong},
    {R"({"error":"unknown cmd"})", ReplyKind::kUnknownCmd},
    {R"({"error":"already connected"})", ReplyKind::kAlreadyConnected},
    {R"({"error":"write conf failed"})", ReplyKind::kWriteConfFailed},
    {R"({"ok":true})", ReplyKind::kOk},
    {R"({"running":true})", ReplyKind::kRunning},
    {R"({"running":false})", ReplyKind::kNotRunning},
}};

constexpr std::string_view kInvalidFieldPrefix = R"({"error":"invalid field: )";
constexpr std::string_view kSpawnPrefix = R"({"error":"spawn: )";
constexpr std::string_view kErrorSuffix = R"("})";

// Whether line reads prefix, at least one byte of text, then "}; the text goes to inner.
bool strip_error_form(std::string_view line, std::string_view prefix, std::string_view& inner) {
    if (line.size() <= prefix.size() + kErrorSuffix.size()) return false;
    if (!line.starts_with(prefix) || !line.ends_with(kErrorSuffix)) return false;
    inner = line.substr(prefix.size(), line.size() - prefix.size() - kErrorSuffix.size());
    return true;
}

bool is_member_name(std::string_view name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
}

}  // namespace

Reply classify_reply(std::string_view line) {
    for (const FixedReply& fixed : kFixedReplies) {
        if (line == fixed.text) return {fixed.kind, {}};
    }
    std::string_view inner;
    if (strip_error_form(line, kInvalidFieldPrefix, inner) && is_member_name(inner)) {
        return {ReplyKind::kInvalidField, inner};
    }
    if (strip_error_form(line, kSpawnPrefix, inner)) return {ReplyKind::kSpawnFailed, inner};
    return {ReplyKind::kOther, {}};
}

bool is_error(ReplyKind kind) {
    switch (kind) {
        case ReplyKind::kOk:
        case ReplyKind::kRunning:
        case ReplyKind::kNotRunning:
        case ReplyKind::kOther:
            return false;
        default:
            return true;
    }
}

}  // namespace marlox::ctl
