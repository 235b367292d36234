// Tests of the relay benchmark's line checker: it must pass every correct stream and catch
// every way a relay can damage one.
#include "relay_lines.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace marlox::bench {
namespace {

std::string line(std::uint64_t number, char tag) {
    std::array<char, kLineBytes> text;
    format_line(number, tag, text);
    return {text.data(), text.size()};
}

// The lines of plan in the order the stand-in numbers them, each on its own stream.
std::vector<std::string> lines_of(const RelayPlan& plan) {
    std::vector<std::string> lines;
    for (std::uint64_t n = 0; n < plan.lines; ++n) {
        const bool err = plan.stderr_every != 0 && n % plan.stderr_every == plan.stderr_every - 1;
        lines.push_back(line(n, err ? 'e' : 'o'));
    }
    return lines;
}

std::string check(const RelayPlan& plan, const std::string& stream, std::size_t chunk = 4096) {
    LineChecker checker(plan);
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        checker.feed(stream.substr(at, chunk));
    return checker.finish();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l;
    return out;
}

TEST(RelayLinesTest, RealmCarriesThePlanAndRejectsOthers) {
    const auto plan = parse_realm(realm_for({1234, 10}));
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->lines, 1234u);
    EXPECT_EQ(plan->stderr_every, 10u);
    for (const char* bad : {"radius", "lines-5-stderr-1", "lines-x-stderr-0", "lines-5-stderr-"}) {
        EXPECT_FALSE(parse_realm(bad)) << bad;
    }
}

TEST(RelayLinesTest, WholeLinesInOrderPassInAnyChunking) {
    for (const RelayPlan plan : {RelayPlan{1000, 0}, RelayPlan{1000, 10}, RelayPlan{999, 2}}) {
        const std::string stream = joined(lines_of(plan));
        for (const std::size_t chunk : {1u, 7u, 80u, 81u, 4096u}) {
            EXPECT_EQ(check(plan, stream, chunk), "") << plan.stderr_every << " " << chunk;
        }
    }
}

TEST(RelayLinesTest, StreamsMayInterleaveAnyWay) {
    const RelayPlan plan{100, 10};
    std::vector<std::string> out, err;
    for (auto& l : lines_of(plan)) (l[0] == 'e' ? err : out).push_back(l);
    EXPECT_EQ(check(plan, joined(err) + joined(out)), "");  // all of standard error first
}

TEST(RelayLinesTest, EveryKindOfDamageIsCaught) {
    const RelayPlan plan{100, 10};
    const auto good = lines_of(plan);
    struct Case {
        const char* what;
        std::string stream;
    };
    auto swapped = good;
    std::swap(swapped[3], swapped[4]);
    auto missing = good;
    missing.erase(missing.begin() + 50);
    auto repeated = good;
    repeated.insert(repeated.begin() + 50, good[50]);
    auto wrong_stream = good;
    wrong_stream[20][0] = 'e';
    auto altered = good;
    altered[60][40] = '#';
    // A line of one stream dropped into the middle of a line of the other, as two uncoordinated
    // sends per line would do.
    const std::string torn = joined({good.begin(), good.begin() + 8}) + good[8].substr(0, 30) +
                             good[9] + good[8].substr(30) + joined({good.begin() + 10, good.end()});
    const std::string all = joined(good);
    const Case cases[] = {
        {"reordered within a stream", joined(swapped)},
        {"missing", joined(missing)},
        {"repeated", joined(repeated)},
        {"on the wrong stream", joined(wrong_stream)},
        {"altered text", joined(altered)},
        {"torn by the other stream", torn},
        {"cut short", all.substr(0, all.size() - 1)},
        {"without a line feed", all.substr(0, 79) + all.substr(80)},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        for (const std::size_t chunk : {1u, 80u, 4096u}) {
            EXPECT_NE(check(plan, c.stream, chunk), "") << c.what << ", chunks of " << chunk;
        }
    }
}

}  // namespace
}  // namespace marlox::bench
