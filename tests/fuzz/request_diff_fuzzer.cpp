// Differential fuzz target: the daemon's request parser against the former one, as the oracle.
//
// Both parse the same bytes. They must agree on accepting or refusing, and for an accepted
// text on the value of every member the daemon reads and of every name the text holds at any
// depth (a nested member must count in neither, a repeated one the same in both).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/request.h"
#include "reference_request.h"

namespace {

using marlox::fuzz::ReferenceRequest;
using marlox::fuzz::require;
using marlox::protocol::Request;

constexpr std::array<std::string_view, 7> kDaemonMembers = {
    "cmd", "host", "port", "username", "ticket", "trusted_cert", "realm"};

void require_same_member(const Request& request, const ReferenceRequest& reference,
                         std::string_view name) {
    require(request.member(name) == reference.member(name), "every member reads as the oracle's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto request = Request::parse(text);
    const auto reference = ReferenceRequest::parse(text);
    require(request.has_value() == reference.has_value(), "accepted exactly when the oracle is");
    if (!request) return 0;
    for (const std::string_view name : kDaemonMembers) {
        require_same_member(*request, *reference, name);
    }
    for (const std::string& name : reference->all_member_names()) {
        require_same_member(*request, *reference, name);
    }
    return 0;
}
