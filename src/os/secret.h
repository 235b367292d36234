// Secret: the ticket's bytes in one buffer that never moves and is wiped when it goes.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

namespace marlox::os {

// A std::string that grows leaves copies of its old contents behind in freed memory. This
// buffer gets its whole capacity at the start and never reallocates, so the bytes exist only
// where the destructor wipes them (explicit_bzero). Appending beyond the capacity is a bug of
// the caller, which sizes it for the worst case.
class Secret {
public:
    explicit Secret(std::size_t capacity);
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&&) = delete;
    ~Secret();

    std::string_view view() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }

    // The free space after the contents, to read into; commit(n) then counts n bytes of it.
    std::span<char> spare() { return {data_.get() + size_, capacity_ - size_}; }
    void commit(std::size_t n);

    void append(std::string_view bytes);
    // Keeps the first n bytes and wipes the others.
    void truncate(std::size_t n);

private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

}  // namespace marlox::os
