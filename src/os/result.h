// Errno and Result<T>: how failures travel between modules, as values instead of exceptions.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace marlox::os {

// The operating system's "no": an errno value captured where the call failed.
struct Errno {
    int code;
};

// Result<T> holds either a T or the Errno that prevented it, a small subset of std::expected.
//
//   Result<UniqueFd> open_config();
//   auto fd = open_config();
//   if (!fd) return fd.error();          // pass the errno up untouched
//   use(fd->get());
//
// Outcomes a caller must branch on (end of stream, line too long, ...) are enums of their own;
// an Errno only ever means that the system refused.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Errno error) : v_(std::in_place_index<1>, error) {}

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return *checked(); }
    const T& value() const& { return *checked(); }
    T&& value() && { return std::move(*checked()); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return checked(); }
    const T* operator->() const { return checked(); }

    Errno error() const {
        assert(!has_value());
        return *std::get_if<1>(&v_);
    }

private:
    T* checked() {
        assert(has_value());
        return std::get_if<0>(&v_);
    }
    const T* checked() const {
        assert(has_value());
        return std::get_if<0>(&v_);
    }

    std::variant<T, Errno> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;  // success: `return {};`
    Result(Errno error) : error_(error.code) {}

    bool has_value() const noexcept { return error_ == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    Errno error() const {
        assert(!has_value());
        return Errno{error_};
    }

private:
    int error_ = 0;
};

// The errno of the call that just failed.
Errno last_errno() noexcept;

// The text a client or the log sees for an error: "No such file or directory (os error 2)".
std::string describe(Errno error);

}  // namespace marlox::os
