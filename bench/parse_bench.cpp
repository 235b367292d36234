// Request parsing: CPU per request line of the longest length in several shapes, in-process,
// and the former whole-document parser beside the current one.
#include <malloc.h>
#include <time.h>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "control/request_line.h"
#include "protocol/request.h"
#include "reference_request.h"
#include "sections.h"
#include "stats.h"
#include "table.h"

namespace marlox::bench {
namespace {

// The longest request the daemon parses: a full line without its line feed.
constexpr std::size_t kLongest = control::kMaxRequestLine - 1;
// CPU time one sample runs for; a sample is at least three parses.
constexpr double kSampleMs = 50;

constexpr std::array<std::string_view, 7> kMembers = {"cmd",    "host",         "port", "username",
                                                      "ticket", "trusted_cert", "realm"};

// open, then piece as often as the text stays within size with close, then close; a comma
// ending the last piece is dropped.
std::string repeated(std::string_view open, std::string_view piece, std::string_view close,
                     std::size_t size = kLongest) {
    std::string text(open);
    while (text.size() + piece.size() + close.size() <= size) text += piece;
    if (text.ends_with(',')) text.pop_back();
    return text + std::string(close);
}

// {"0":"","1":"",...}: as many members of distinct names as fit.
std::string distinct_members() {
    std::string text = "{";
    for (int i = 0;; ++i) {
        const std::string member = "\"" + std::to_string(i) + "\":\"\",";
        if (text.size() + member.size() + 1 > kLongest) break;
        text += member;
    }
    text.back() = '}';
    return text;
}

struct Shape {
    std::string name;
    std::string text;
};

// The first is the baseline; the others are the costliest shapes found for the parser: the
// densest numbers, the deepest nesting, the most members, the longest decoded strings.
std::vector<Shape> shapes() {
    const std::string deepest = std::string(protocol::kMaxJsonDepth - 1, '[') +
                                std::string(protocol::kMaxJsonDepth - 1, ']');
    return {
        {"`[0,0,…]`", repeated("[", "0,", "]")},
        {"`[[],[],…]`", repeated("[", "[],", "]")},
        {"`[{},{},…]`", repeated("[", "{},", "]")},
        {"`[1.5,1.5,…]`", repeated("[", "1.5,", "]")},
        {"`[1.2345678901234567e-300,…]`", repeated("[", "1.2345678901234567e-300,", "]")},
        {"arrays 127 deep, side by side", repeated("[", deepest + ",", "]")},
        {"`{\"\":0,\"\":0,…}`", repeated("{", "\"\":0,", "}")},
        {"`{\"0\":\"\",\"1\":\"\",…}`", distinct_members()},
        {"`{\"cmd\":\"\\n\\n…\"}`", repeated("{\"cmd\":\"", "\\n", "\"}")},
        {"`{\"cmd\":\"\\ud83d\\ude00…\"}`", repeated("{\"cmd\":\"", "\\ud83d\\ude00", "\"}")},
    };
}

double thread_cpu_ms() {
    timespec now{};
    (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// What the daemon does with a request line: parse it, then read the members it uses.
template <class Parser>
bool parse_and_read(const std::string& text) {
    const auto request = Parser::parse(text);
    if (!request) return false;
    for (const std::string_view name : kMembers) (void)request->member(name);
    return true;
}

// CPU milliseconds per parse_and_read, averaged over one sample.
template <class Parser>
double cpu_ms_per_request(const std::string& text) {
    const double start = thread_cpu_ms();
    int runs = 0;
    double elapsed = 0;
    do {
        (void)parse_and_read<Parser>(text);
        ++runs;
        elapsed = thread_cpu_ms() - start;
    } while (runs < 3 || elapsed < kSampleMs);
    return elapsed / runs;
}

// Heap the parsed request holds while it lives, in KiB.
template <class Parser>
double heap_kib_held(const std::string& text) {
    const std::size_t before = mallinfo2().uordblks;
    const auto request = Parser::parse(text);
    const std::size_t during = mallinfo2().uordblks;
    return static_cast<double>(during > before ? during - before : 0) / 1024;
}

}  // namespace

Verdict measure_request_parse(const Settings& settings) {
    using fuzz::ReferenceRequest;
    using protocol::Request;
    const std::vector<Shape> cases = shapes();
    std::vector<std::vector<double>> ms(cases.size());
    const std::array<std::size_t, 3> sizes = {16 * 1024, 32 * 1024, 64 * 1024};
    std::vector<std::string> objects;
    for (const std::size_t size : sizes) objects.push_back(repeated("[", "{},", "]", size - 1));
    std::vector<std::vector<double>> former_ms(sizes.size());
    std::vector<std::vector<double>> current_ms(sizes.size());
    // Round by round, every shape in turn, so a busy moment on the machine hits them all.
    for (int round = 0; round < settings.rounds; ++round) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            ms[i].push_back(cpu_ms_per_request<Request>(cases[i].text));
        }
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            former_ms[i].push_back(cpu_ms_per_request<ReferenceRequest>(objects[i]));
            current_ms[i].push_back(cpu_ms_per_request<Request>(objects[i]));
        }
    }

    std::printf("### Request parsing: one request line of %zu bytes, in-process\n\n", kLongest);
    Table table(
        {"shape", "bytes", "accepted", "CPU µs per request", "x `[0,0,…]`", "heap KiB held"});
    const double baseline = median(ms[0]);
    Verdict verdict("CPU per request, costliest 64 KiB shape / `[0,0,…]`", "x",
                    Verdict::Bound::kAtMost, 3);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const double ratio = median(ms[i]) / baseline;
        if (i > 0) verdict.figure = std::max(verdict.figure, ratio);
        table.add({cases[i].name, std::to_string(cases[i].text.size()),
                   parse_and_read<Request>(cases[i].text) ? "yes" : "no",
                   fixed(median(ms[i]) * 1000, 0), fixed(ratio, 2),
                   fixed(heap_kib_held<Request>(cases[i].text), 1)});
    }
    table.print();

    std::printf("### Request parsing: `[{},{},…]`, the former whole-document parser and now\n\n");
    Table growth(
        {"bytes", "former CPU ms", "now CPU ms", "former heap KiB held", "now heap KiB held"});
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        growth.add({std::to_string(objects[i].size()), fixed(median(former_ms[i]), 2),
                    fixed(median(current_ms[i]), 3),
                    fixed(heap_kib_held<ReferenceRequest>(objects[i]), 0),
                    fixed(heap_kib_held<Request>(objects[i]), 1)});
    }
    growth.print();
    return verdict;
}

}  // namespace marlox::bench
