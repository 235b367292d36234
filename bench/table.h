// Result tables printed as Markdown, so a run's output can go into the docs unchanged.
#pragma once

#include <string>
#include <vector>

namespace marlox::bench {

class Table {
public:
    explicit Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

    void add(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    // A pipe table with padded columns, then an empty line; stdout is flushed so a long run
    // shows its progress.
    void print() const;

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

// 1234567.8 -> "1,234,568"
std::string grouped(double value);
// value with `decimals` digits after the point.
std::string fixed(double value, int decimals);

}  // namespace marlox::bench
