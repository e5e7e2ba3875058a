// The entry of every test program: the process ignores SIGPIPE as the service does, so that a
// test whose peer closes early sees the write fail instead of the test program ending.
#include <gtest/gtest.h>

#include "util/broken_pipe.h"

int main(int argc, char** argv) {
    tessel::IgnoreBrokenPipes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
