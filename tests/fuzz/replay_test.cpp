// Replays a fuzz target's checked-in corpus as an ordinary test, so every build runs it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The target's corpus directory, set by the build for each replay binary.
const std::filesystem::path kCorpus = MARLOX_FUZZ_CORPUS;

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A broken invariant aborts the process, which fails this test with the input named above it.
TEST(FuzzCorpusReplay, EveryInputHoldsTheInvariants) {
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus)) {
        if (!entry.is_regular_file()) continue;
        const std::string input = read_file(entry.path());
        (void)std::fprintf(stderr, "replaying %s\n", entry.path().filename().c_str());
        (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()),
                                     input.size());
        ++replayed;
    }
    EXPECT_GE(replayed, 10U) << "corpus " << kCorpus << " is (nearly) empty";
}

}  // namespace
