// Fuzz target for the request path: bytes as a client sends them, up to the configuration text.
//
// Each input goes through a real socket into the daemon's line reader, then the UTF-8 check,
// the trimming, the strict JSON rules, member extraction, the command it names ("watch" among
// them) and the configuration-value checks, and every stage is held to an invariant computed
// independently of the code under test.
#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "control/request_line.h"
#include "fuzz_check.h"
#include "os/io.h"
#include "protocol/command.h"
#include "protocol/request.h"
#include "protocol/utf8.h"
#include "support/unit_io.h"
#include "tunnel/config_file.h"

namespace {

using marlox::fuzz::require;
using namespace marlox::control;
using namespace marlox::protocol;

// Just past the line cap, so "too long" is reached, and small enough for the socket buffer to
// take the whole input before anyone reads.
constexpr std::size_t kMaxInput = kMaxRequestLine + 4096;

// The Unicode White_Space characters, spelled out as UTF-8 rather than decoded.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

constexpr std::array<std::string_view, 7> kMembers = {"cmd",    "host",         "port", "username",
                                                      "ticket", "trusted_cert", "realm"};

struct ConfigKey {
    std::string_view key;
    std::string_view member;
    std::size_t max_bytes;  // what openfortivpn keeps of the value
};
constexpr std::size_t kAnyLength = SIZE_MAX;
constexpr std::array<ConfigKey, 5> kConfigKeys = {{{"host", "host", 253},
                                                   {"port", "port", kAnyLength},
                                                   {"username", "username", 64},
                                                   {"password", "ticket", 256},
                                                   {"trusted-cert", "trusted_cert", kAnyLength}}};
constexpr std::size_t kMaxRealmBytes = 63;

// The request exactly as the daemon reads it: sent whole, then the client closes.
RequestLine read_as_daemon(std::string_view input) {
    auto pair = marlox::test::socket_pair();
    require(pair.a.valid(), "socketpair");
    require(marlox::os::send_all(pair.b.get(), input).has_value(), "input fits the socket");
    pair.b.reset();
    return read_request_line(pair.a.get());
}

void check_framing(std::string_view input, const RequestLine& line) {
    const std::size_t newline = input.find('\n');
    const std::string_view expected =
        newline == std::string_view::npos ? input : input.substr(0, newline + 1);
    if (expected.size() > kMaxRequestLine) {
        require(line.status == LineStatus::kTooLong, "an over-long line is refused");
        return;
    }
    require(line.status == LineStatus::kLine, "a line within the cap is read");
    require(line.text == expected, "the line is the input up to its first line feed");
}

std::optional<std::string_view> white_space_prefix(std::string_view text) {
    for (const std::string_view ws : kWhiteSpace) {
        if (text.starts_with(ws)) return ws;
    }
    return std::nullopt;
}

std::optional<std::string_view> white_space_suffix(std::string_view text) {
    for (const std::string_view ws : kWhiteSpace) {
        if (text.ends_with(ws)) return ws;
    }
    return std::nullopt;
}

void check_trim(std::string_view line, std::string_view trimmed) {
    require(trimmed.data() >= line.data() &&
                trimmed.data() + trimmed.size() <= line.data() + line.size(),
            "trimming returns a part of the line");
    std::string_view head = line.substr(0, static_cast<std::size_t>(trimmed.data() - line.data()));
    std::string_view tail = line.substr(head.size() + trimmed.size());
    while (const auto ws = white_space_prefix(head)) head.remove_prefix(ws->size());
    while (const auto ws = white_space_prefix(tail)) tail.remove_prefix(ws->size());
    require(head.empty() && tail.empty(), "only white space is trimmed");
    require(!white_space_prefix(trimmed) && !white_space_suffix(trimmed),
            "all white space at both ends is trimmed");
}

// Nesting depth of arrays and objects, counting brackets outside strings. Exact for valid JSON.
int nesting_depth(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

bool accepts(const std::string& text) { return Request::parse(text).has_value(); }

void check_strictness(std::string_view text) {
    const int depth = nesting_depth(text);
    require(depth <= kMaxJsonDepth, "nothing nested too deep is accepted");
    require(text.find('\0') == std::string_view::npos, "no raw NUL is accepted");
    require(!text.starts_with("\xEF\xBB\xBF"), "no byte order mark is accepted");

    const std::string value(text);
    require(accepts(value + " \t\r\n"), "JSON white space may follow the value");
    require(!accepts(value + "x") && !accepts("x" + value), "nothing else may surround it");
    require(!accepts(value + " " + value), "two values are not one");
    require(accepts("[" + value + "]") == (depth < kMaxJsonDepth),
            "one more level is accepted exactly up to the depth limit");
}

void check_members(const Request& request) {
    for (const std::string_view name : kMembers) {
        const auto value = request.member(name);
        // Escapes are decoded, and an unpaired surrogate escape is malformed, so every string
        // handed on (to the config file, to a command line) is valid UTF-8.
        if (value) require(is_valid_utf8(*value), "member strings are valid UTF-8");
    }
}

constexpr std::array<std::pair<std::string_view, Command>, 4> kCommands = {{
    {"status", Command::kStatus},
    {"disconnect", Command::kDisconnect},
    {"connect", Command::kConnect},
    {"watch", Command::kWatch},
}};

// The command as a second, lenient parse of the same text sees it: the "cmd" member of an
// object when it is a string (the last one when repeated), compared byte for byte with the
// command words.
void check_command(std::string_view text, const Request& request) {
    const auto model = nlohmann::json::parse(text, /*cb=*/nullptr, /*allow_exceptions=*/false);
    if (model.is_discarded()) return;
    Command expected = Command::kUnknown;
    if (const auto cmd = model.is_object() ? model.find("cmd") : model.end();
        cmd != model.end() && cmd->is_string()) {
        for (const auto& [word, command] : kCommands) {
            if (cmd->get_ref<const std::string&>() == word) expected = command;
        }
    }
    require(command_of(request) == expected, "the command is the one its \"cmd\" word names");
}

// openfortivpn strips these from the ends of a value, which would turn a ticket into another one.
bool trimmed_by_client(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool would_be_altered(const ConfigKey& key, std::string_view value) {
    if (value.size() > key.max_bytes) return true;
    if (value.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) return true;
    return key.member == "ticket" && !value.empty() &&
           (trimmed_by_client(value.front()) || trimmed_by_client(value.back()));
}

void check_config(const Request& request) {
    std::optional<std::string_view> first_unsafe;
    for (const ConfigKey& key : kConfigKeys) {
        const auto value = request.member(key.member);
        if (value && would_be_altered(key, *value)) {
            first_unsafe = key.member;
            break;
        }
    }
    if (!first_unsafe && request.member("realm").value_or("").size() > kMaxRealmBytes) {
        first_unsafe = "realm";
    }
    require(marlox::tunnel::find_unsafe_field(request) == first_unsafe,
            "the first value that could add a line, be trimmed or be cut is named");
    if (first_unsafe) return;

    // A safe request yields exactly five lines, each its key and the member's value.
    const std::string text = marlox::tunnel::config_text(request);
    std::string_view rest = text;
    for (const ConfigKey& key : kConfigKeys) {
        const std::size_t newline = rest.find('\n');
        require(newline != std::string_view::npos, "five lines");
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline + 1);
        require(line.starts_with(key.key) && line.substr(key.key.size()).starts_with(" = "),
                "each line starts with its key");
        line.remove_prefix(key.key.size() + 3);
        require(line == request.member(key.member).value_or(""), "each value as sent");
    }
    require(rest.empty(), "nothing after the fifth line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;  // not added to the corpus
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const RequestLine line = read_as_daemon(input);
    check_framing(input, line);
    if (line.status != LineStatus::kLine || !is_valid_utf8(line.text)) return 0;

    const std::string_view text = trim_unicode_whitespace(line.text);
    check_trim(line.text, text);

    const auto request = Request::parse(text);
    if (!request) return 0;
    check_strictness(text);
    check_members(*request);
    check_command(text, *request);
    check_config(*request);
    return 0;
}
