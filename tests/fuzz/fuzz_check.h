// The fuzz targets' assertion: a broken invariant aborts, which libFuzzer and the replay test see.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace marlox::fuzz {

// Aborts with a message naming the invariant. abort() rather than an exception or a gtest
// assertion so the same target works under libFuzzer and in the corpus replay.
inline void require(bool holds, std::string_view invariant) {
    if (holds) return;
    (void)std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(invariant.size()),
                       invariant.data());
    std::abort();
}

}  // namespace marlox::fuzz
