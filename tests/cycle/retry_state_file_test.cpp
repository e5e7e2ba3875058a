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

// The recipient tally is written after the rows; a line that a later version added (it begins
// with a word this one does not know) is skipped, while a damaged tally line makes the file unusable.
TEST(RetryStateFileTest, TheTallyComesBackAndUnknownAdditionsAreSkipped) {
    RetryClocks now{system_clock::time_point(hours(500000)), RetryTime(hours(30))};
    RetryEntry row{12, 1, std::nullopt, kFirstBackOff, std::nullopt, ""};
    std::vector<SentCount> sent{{now.Steady - hours(3), 4}, {now.Steady - minutes(1), 1}, {now.Steady + hours(2), 2}};
    std::string text = RetryStateText({row}, now, sent);
    EXPECT_EQ(text.substr(0, text.find('\n')), "tesselcomsvc retry state 1");

    std::string problem;
    std::vector<SentCount> back;
    auto entries = ParseRetryState(text + "later\tfield\n", now, problem, &back);
    ASSERT_TRUE(entries) << problem;
    ASSERT_EQ(entries->size(), 1u);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].Minute, sent[0].Minute);
    EXPECT_EQ(back[0].Count, 4);
    EXPECT_EQ(back[2].Minute, now.Steady) << "a minute in the future is brought to now";

    for (const char* damaged : {"sent\t12\n", "sent\tx\t3\n", "sent\t12\t-1\n"}) {
        EXPECT_FALSE(ParseRetryState(text + damaged, now, problem, &back)) << damaged;
        EXPECT_EQ(problem, "line 6 is damaged");
    }
}

// The tally counts what lies within the last 24 hours (a minute counts while any of it does) and
// tells when there will be room.
TEST(RecipientTallyTest, CountsWithinTheDayAndFindsRoom) {
    RecipientTally tally;
    RetryTime start(hours(100));
    tally.Note(start, 3);
    tally.Note(start + hours(12), 2);
    EXPECT_EQ(tally.Within(start + hours(12)), 5);
    EXPECT_EQ(tally.RoomAt(start + hours(12), 6, 1), start + hours(12));
    // The first minute leaves the window a day and a minute after it began.
    std::optional<RetryTime> room = tally.RoomAt(start + hours(12), 5, 1);
    ASSERT_TRUE(room);
    EXPECT_GE(*room, start + hours(24));
    EXPECT_LE(*room, start + hours(24) + minutes(1));
    EXPECT_EQ(tally.Within(*room), 2);
    EXPECT_FALSE(tally.RoomAt(start, 5, 6));
    tally.Note(start + hours(48), 0);
    EXPECT_TRUE(tally.Counts().empty()) << "minutes that left the window are dropped";
}

}  // namespace
}  // namespace tessel::cycle::test