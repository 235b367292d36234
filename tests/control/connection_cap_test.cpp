// Tests of the per-user connection count.
#include "control/connection_cap.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace marlox::control {
namespace {

TEST(ConnectionCapTest, EachUserHoldsUpToTheCapAndAReleasedSlotIsFreeAgain) {
    ConnectionCap cap(2);
    std::vector<ConnectionCap::Slot> mine;
    for (int i = 0; i < 2; ++i) mine.push_back(*cap.try_acquire(1000));
    EXPECT_FALSE(cap.try_acquire(1000));
    // Another user and root are not affected; root is never counted at all.
    EXPECT_TRUE(cap.try_acquire(1001));
    std::vector<ConnectionCap::Slot> roots;
    for (int i = 0; i < 5; ++i) roots.push_back(*cap.try_acquire(0));

    mine.pop_back();
    EXPECT_TRUE(cap.try_acquire(1000));
    // The slot of the line above was released at once: one more still fits.
    auto again = cap.try_acquire(1000);
    ASSERT_TRUE(again);
    EXPECT_FALSE(cap.try_acquire(1000));
}

}  // namespace
}  // namespace marlox::control
