// The request parser the daemon used before its single-pass parser: the oracle it is checked
// against.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlox::fuzz {

// A whole-document parse with a depth callback, kept as it was: the same acceptance rules and
// the same member rule as protocol::Request, but it builds the value tree and, closing an
// object, scans the enclosing container again (quadratic in the worst case). The differential
// fuzzer holds the daemon's parser to its answers; the benchmark measures both.
class ReferenceRequest {
public:
    // nullopt when text is not one JSON value by the strict rules. Never throws.
    static std::optional<ReferenceRequest> parse(std::string_view text);

    ReferenceRequest(ReferenceRequest&&) noexcept;
    ReferenceRequest& operator=(ReferenceRequest&&) noexcept;
    ~ReferenceRequest();

    // The member called name if the value is an object and that member is a JSON string.
    std::optional<std::string_view> member(std::string_view name) const;

    // Every member name of every object in the value, at any depth, with repeats.
    std::vector<std::string> all_member_names() const;

private:
    explicit ReferenceRequest(std::unique_ptr<nlohmann::json> value);

    std::unique_ptr<nlohmann::json> value_;
};

}  // namespace marlox::fuzz
