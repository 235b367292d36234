// Outcome<T>: what a harness call produced, or a sentence saying why it could not.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace marlox::support {

// The reason a harness step failed, written for the test log.
struct Failure {
    std::string why;
};

// The harness reports trouble as values, like the daemon does, so tests decide how to fail:
//
//   auto daemon = Daemon::start();
//   ASSERT_TRUE(daemon) << daemon.error();
//   daemon->pid();
template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Outcome(Failure failure) : v_(std::in_place_index<1>, std::move(failure)) {}

    explicit operator bool() const noexcept { return v_.index() == 0; }

    T& operator*() & { return *get(); }
    T&& operator*() && { return std::move(*get()); }
    T* operator->() { return get(); }
    const T* operator->() const { return std::get_if<0>(&v_); }

    // Empty when there is a value, so it can be streamed into any assertion message.
    std::string error() const { return v_.index() == 1 ? std::get<1>(v_).why : std::string(); }

private:
    T* get() {
        assert(v_.index() == 0);
        return std::get_if<0>(&v_);
    }

    std::variant<T, Failure> v_;
};

}  // namespace marlox::support
