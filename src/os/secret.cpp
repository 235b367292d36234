// A fixed buffer for secrets, wiped on the way out.
#include "os/secret.h"

#include <string.h>

#include <cstdlib>
#include <utility>

namespace marlox::os {

Secret::Secret(std::size_t capacity)
    : data_(std::make_unique_for_overwrite<char[]>(capacity)), capacity_(capacity) {}

Secret::Secret(Secret&& other) noexcept
    : data_(std::move(other.data_)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

Secret::~Secret() {
    if (data_) ::explicit_bzero(data_.get(), size_);
}

void Secret::commit(std::size_t n) {
    if (n > capacity_ - size_) std::abort();
    size_ += n;
}

void Secret::append(std::string_view bytes) {
    if (bytes.size() > capacity_ - size_) std::abort();
    bytes.copy(data_.get() + size_, bytes.size());
    size_ += bytes.size();
}

void Secret::truncate(std::size_t n) {
    if (n >= size_) return;
    ::explicit_bzero(data_.get() + n, size_ - n);
    size_ = n;
}

}  // namespace marlox::os
