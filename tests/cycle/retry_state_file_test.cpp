#include "cycle/retry_state_file.h"

#include <gtest/gtest.h>

namespace tessel::cycle::test {
namespace {

using namespace std::chrono;

// What is written is read back as it was, control bytes of a reply made blanks; times that cannot
// be right (a next attempt beyond the longest wait, a first refusal in the future) come back as
// the nearest time that can.
TEST(RetryStateFileTest, EntriesComeBackAsWrittenAndImpossibleTimesAreBroughtToNow) {
    RetryClocks now{system_clock::time_point(hours(500000)), RetryTime(hours(7))};
    RetryEntry waiting{12, 3, now.Steady + minutes(17), minutes(40),
                       FirstRefusal{now.Steady - hours(2), "451 4.7.1 first\tone\r\n"}, "452 latest"};
    RetryEntry fresh{13, 0, std::nullopt, kFirstBackOff, std::nullopt, ""};
    RetryEntry skewed{14, 1, now.Steady + hours(5), minutes(10),
                      FirstRefusal{now.Steady + hours(1), "450"}, "450"};

    std::string problem;
    auto back = ParseRetryState(RetryStateText({waiting, fresh, skewed}, now), now, problem);

    ASSERT_TRUE(back) << problem;
    ASSERT_EQ(back->size(), 3u);
    const RetryEntry& a = (*back)[0];
    EXPECT_EQ(a.Id, 12);
    EXPECT_EQ(a.Attempts, 3);
    EXPECT_EQ(a.NextAttempt, waiting.NextAttempt);
    EXPECT_EQ(a.Wait, minutes(40));
    ASSERT_TRUE(a.Refused);
    EXPECT_EQ(a.Refused->At, waiting.Refused->At);
    EXPECT_EQ(a.Refused->Reply, "451 4.7.1 first one  ");
    EXPECT_EQ(a.LastReply, "452 latest");
    EXPECT_FALSE((*back)[1].NextAttempt);
    EXPECT_FALSE((*back)[1].Refused);
    EXPECT_EQ((*back)[2].NextAttempt, now.Steady + kLongestBackOff);
    EXPECT_EQ((*back)[2].Refused->At, now.Steady);
}

}  // namespace
}  // namespace tessel::cycle::test
