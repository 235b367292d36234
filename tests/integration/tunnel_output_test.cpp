// The tunnel's output through the real daemon: cut into lines, repaired, never mixed, never lost.
#include <string>
#include <vector>

#include "tunnel_fixture.h"

namespace marlox::support {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::size_t kMaxLine = 65536;                    // longer lines leave in pieces

std::vector<std::string> lines_of(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(bytes.substr(start, end - start));
    }
    if (start != bytes.size()) lines.push_back("UNTERMINATED:" + bytes.substr(start));
    return lines;
}

// The lines starting with prefix, in the order they arrived.
std::vector<std::string> starting_with(const std::vector<std::string>& lines,
                                       std::string_view prefix) {
    std::vector<std::string> matching;
    for (const std::string& line : lines) {
        if (line.starts_with(prefix)) matching.push_back(line);
    }
    return matching;
}

class OutputTest : public TunnelTest {
protected:
    // Runs a tunnel whose fake plays script and returns everything its client received.
    Received run_script(const std::string& script) {
        fake().write_script("h", script);
        auto client = send_connect({{"host", "h"}});
        if (!client) return Received{"harness: " + client.error(), StreamEnd::kError};
        return client->read_to_end(milliseconds(10000));
    }
};

TEST_F(OutputTest, OutputIsCutIntoLinesExactly) {
    const Received received = run_script(
        "out-raw a\\r\\nb\\n\\nx\\ry\\n\n"  // CRLF, LF, an empty line, a lone CR
        "out-repeat 6000 0123456789\n"      // one line of 60 000 bytes
        "out-raw last\n");                  // no line feed before the end
    std::string digits;
    for (int i = 0; i < 6000; ++i) digits += "0123456789";
    EXPECT_EQ(received.bytes, "a\nb\n\nx\ry\n" + digits + "\nlast\n");
    EXPECT_EQ(received.end, StreamEnd::kEof);
}

TEST_F(OutputTest, OutputWithoutLineFeedsLeavesInPiecesThatJoinToIt) {
    std::string output(kMaxLine - 1, 'a');
    output += "\xE2\x82\xAC";  // a character across the bound
    output.resize(200000, 'b');
    const Received received = run_script("out-raw " + output + "\n");
    EXPECT_EQ(received.end, StreamEnd::kEof);
    const auto pieces = lines_of(received.bytes);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0], std::string(kMaxLine - 1, 'a'));
    std::string joined;
    for (const std::string& piece : pieces) {
        EXPECT_LE(piece.size(), kMaxLine);
        joined += piece;
    }
    EXPECT_TRUE(joined == output) << "the pieces do not join to the output";
}

TEST_F(OutputTest, BothStreamsAreRelayedEachInItsOrder) {
    const Received received =
        run_script("out out-1\nerr err-1\nout out-2\nerr err-2\nerr err-3\nout out-3\n");
    const auto lines = lines_of(received.bytes);
    EXPECT_EQ(lines.size(), 6u) << received.bytes;
    EXPECT_EQ(starting_with(lines, "out-"), (std::vector<std::string>{"out-1", "out-2", "out-3"}));
    EXPECT_EQ(starting_with(lines, "err-"), (std::vector<std::string>{"err-1", "err-2", "err-3"}));
}

TEST_F(OutputTest, LongLinesWrittenOnBothStreamsAtOnceNeverMix) {
    // Lines longer than a pipe's atomic write and than the relay's reads, on both streams at
    // the same moment: any interleaving of the two relays' sends would cut one.
    constexpr int kLines = 300;
    constexpr std::size_t kLength = 5000;
    const Received received = run_script("flood 300 5000\n");
    ASSERT_EQ(received.end, StreamEnd::kEof);

    int next[2] = {0, 0};  // the index each stream's next line must carry
    int broken = 0;
    for (const std::string& line : lines_of(received.bytes)) {
        // "out 000123 ooo...o" or "err 000123 eee...e", kLength bytes in all.
        const bool out = line.starts_with("out ");
        const std::string_view index =
            line.size() < 11 ? std::string_view("x") : std::string_view(line).substr(4, 6);
        const bool whole = line.size() == kLength && (out || line.starts_with("err ")) &&
                           index.find_first_not_of("0123456789") == std::string_view::npos &&
                           line.find_first_not_of(out ? 'o' : 'e', 11) == std::string::npos;
        if (!whole) {
            ++broken;
            continue;
        }
        int& expected = next[out ? 0 : 1];
        EXPECT_EQ(std::stoi(std::string(index)), expected)
            << "out of order: " << line.substr(0, 10);
        expected = std::stoi(std::string(index)) + 1;
    }
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
}

TEST_F(OutputTest, InvalidUtf8IsRepairedAndTheRelayGoesOn) {
    const Received received = run_script(
        "out-raw ok\\xff\\xfeend\\n\n"
        "out-raw \\xc3(\\n\n"
        "err-raw bad\\x80\\n\n"
        "out still here\n"
        "err still there\n");
    const auto lines = lines_of(received.bytes);
    const std::string fffd(kReplacement);
    EXPECT_EQ(starting_with(lines, "ok"), std::vector<std::string>{"ok" + fffd + fffd + "end"});
    EXPECT_EQ(starting_with(lines, fffd), std::vector<std::string>{fffd + "("});
    EXPECT_EQ(starting_with(lines, "bad"), std::vector<std::string>{"bad" + fffd});
    // The two streams' lines may arrive in either order.
    EXPECT_EQ(starting_with(lines, "still here"), std::vector<std::string>{"still here"});
    EXPECT_EQ(starting_with(lines, "still there"), std::vector<std::string>{"still there"});
    EXPECT_EQ(lines.size(), 5u) << received.bytes;
}

TEST_F(OutputTest, LinesPrintedJustBeforeTheExitAllArriveBeforeTheEnd) {
    // Standard output is done at once; standard error is still full when the process exits,
    // so its relay is still sending when the standard-output relay sees the end.
    const Received received = run_script(
        "out-raw out-last-1\\nout-last-2\\n\n"
        "flood 100 300\n"
        "err-repeat 100000 0123456789\n"
        "err-raw err-last-1\\nerr-last-2\n"
        "exit 0\n");
    EXPECT_EQ(received.end, StreamEnd::kEof);
    const auto lines = lines_of(received.bytes);
    EXPECT_EQ(lines.size(), 204u + 16u);  // the long line in 16 pieces
    EXPECT_EQ(starting_with(lines, "out-last"),
              (std::vector<std::string>{"out-last-1", "out-last-2"}));
    EXPECT_EQ(starting_with(lines, "err-last"),
              (std::vector<std::string>{"err-last-1", "err-last-2"}));
    std::size_t long_line = 0;
    for (const std::string& line : lines) {
        if (line.find_first_not_of("0123456789") == std::string::npos) long_line += line.size();
    }
    EXPECT_EQ(long_line, 1000000u);
}

}  // namespace
}  // namespace marlox::support
