// Tests of the strict JSON acceptance rules and of the member rule.
#include "protocol/request.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlox::protocol {
namespace {

using namespace std::string_literals;

struct Case {
    std::string text;
    bool accepted;
    std::optional<std::string> cmd;  // the "cmd" member when accepted
};

Case bad(std::string text) { return {std::move(text), false, std::nullopt}; }
Case ok(std::string text, std::optional<std::string> cmd = std::nullopt) {
    return {std::move(text), true, std::move(cmd)};
}

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

// An object holding arrays nested so that the whole text is depth levels deep.
std::string object_of_depth(int depth) {
    return R"({"cmd":"status","a":)" + repeat("[", depth - 1) + repeat("]", depth - 1) + "}";
}

TEST(RequestTest, StrictJsonAcceptanceRules) {
    const std::vector<Case> cases = {
        ok(R"({"cmd":"status"})", "status"), ok(R"( {"cmd" : "status"} )", "status"),
        ok("{\"cmd\":\"status\"} \t\r\n", "status"),  // trailing JSON white space
        ok(R"({"host":"h","cmd":"connect","port":443})", "connect"),
        // Not RFC 8259.
        bad(R"({"cmd":"status"} // comment)"), bad(R"(/* comment */ {"cmd":"status"})"),
        bad(R"({"cmd":"status",})"), bad("[1,]"), bad("{'cmd':'status'}"), bad(R"({cmd:"status"})"),
        bad("01"), bad("-01"), bad(".5"), bad("1."), bad("+1"), bad("NaN"), bad("Infinity"),
        bad("-Infinity"), bad("0x10"), bad("True"),
        bad("{\"cmd\":\"a\tb\"}"),  // raw tab inside a string
        bad(R"({"cmd":"\x41"})"),
        bad("\f{}"),  // form feed is not JSON white space
        // Nesting: the 128th level is too deep, an object counting as the first.
        ok(object_of_depth(127), "status"), bad(object_of_depth(128)),
        ok(repeat("[", 127) + repeat("]", 127)), bad(repeat("[", 128) + repeat("]", 128)),
        ok(repeat(R"({"a":)", 127) + "1" + repeat("}", 127)),
        bad(repeat(R"({"a":)", 128) + "1" + repeat("}", 128)), bad(repeat("[", 100000)),
        bad(repeat("[", 100000) + repeat("]", 100000)),
        bad(repeat(R"({"a":)", 100000) + "1" + repeat("}", 100000)),
        // Numbers beyond a double.
        bad("1e400"), bad("-1e400"), bad("[1.8e308]"), ok("1e-400"),
        ok("[1.7976931348623157e308, -0, 18446744073709551616]"),
        // Surrogate escapes.
        bad(R"({"cmd":"\ud800"})"), bad(R"({"cmd":"\udc00"})"), bad(R"({"cmd":"\ud800\u0041"})"),
        bad(R"({"cmd":"\ud800x"})"), bad(R"({"cmd":"\udc00\ud800"})"),
        ok(R"({"cmd":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"),
        // Repeated names: the last wins, even when it is not a string.
        ok(R"({"cmd":"bogus","cmd":"status"})", "status"), ok(R"({"cmd":"status","cmd":1})"),
        ok(R"({"cmd":"status","cmd":["status"]})"),
        // Only the top-level object's members count, not those of objects inside it.
        ok(R"({"cmd":"status","a":{"cmd":1}})", "status"),
        // Exactly one value.
        bad(R"({"cmd":"status"} x)"), bad(R"({"cmd":"status"}{})"), bad(R"({"cmd":"status")"),
        bad("{\"cmd\":\"status\"}\0"s), bad("{\"cmd\":\"status\"}\0garbage"s),
        bad("\xEF\xBB\xBF{\"cmd\":\"status\"}"), bad(""), bad(" \n"),
        // Top-level scalars and arrays are JSON, but carry no command.
        ok("1"), ok("true"), ok("null"), ok(R"("status")"), ok(R"(["status"])"),
        // Member rule: only a string member counts.
        ok(R"({"cmd":1})"), ok(R"({"cmd":null})"), ok(R"({"cmd":true})"),
        ok(R"({"cmd":["status"]})"), ok(R"({"cmd":{"cmd":"status"}})"), ok(R"({"CMD":"status"})"),
        ok(R"({"cmd":""})", ""), ok(R"({"cmd":"st\u0061tus"})", "status"),
        ok(R"({"cmd":"a\u0000b"})", "a\0b"s), ok(R"({"cmd":" status"})", " status")};
    for (const Case& c : cases) {
        const auto request = Request::parse(c.text);
        const std::string shown = testing::PrintToString(c.text.substr(0, 60));
        EXPECT_EQ(request.has_value(), c.accepted) << shown;
        if (!request) continue;
        const auto cmd = request->member("cmd");
        EXPECT_EQ(cmd, c.cmd) << shown;
    }
}

}  // namespace
}  // namespace marlox::protocol
