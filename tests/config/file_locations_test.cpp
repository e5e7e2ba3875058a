#include "config/file_locations.h"

#include <gtest/gtest.h>

#include "util/exe_path.h"

namespace tessel::config {
namespace {

TEST(FileLocations, TheExecutablesDirectoryUnlessGiven) {
    const std::string home = ExecutableDirectory();
    EXPECT_EQ(ConfigFilePath({}), home + "configs.ini");
    EXPECT_EQ(AttachmentRoot({}), home + "attachments/");
    EXPECT_EQ(ConfigFilePath({"/etc/t/configs.ini", "/var/lib/t"}), "/etc/t/configs.ini");
    EXPECT_EQ(AttachmentRoot({std::nullopt, "/var/lib/t"}), "/var/lib/t/attachments/");
    EXPECT_EQ(AttachmentRoot({std::nullopt, "/var/lib/t/"}), "/var/lib/t/attachments/");
    EXPECT_EQ(AttachmentRoot({std::nullopt, "state"}), "state/attachments/");
}

}  // namespace
}  // namespace tessel::config
