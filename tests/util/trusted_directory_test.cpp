// Which metrics-like directories a root process may write into: reached name by name, refused
// where another user could redirect it or change what it holds.
#include "util/trusted_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "util/error.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

constexpr uid_t kOtherUser = 65534;

void MakeDirectory(const std::string& path, mode_t mode, uid_t owner = 0) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;  // past the umask, sticky bit included
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

void MakeLink(const std::string& target, const std::string& path, uid_t owner) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

TEST(TrustedDirectoryTest, OnlyADirectoryNoOtherUserCanRedirectIsOpened) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another user";
    test::TempDir dir;
    MakeDirectory(dir.File("own"), 0755);
    MakeDirectory(dir.File("shared"), 0777);
    MakeDirectory(dir.File("shared/sub"), 0755);
    MakeDirectory(dir.File("group"), 0775);
    MakeDirectory(dir.File("sticky"), 01777);
    MakeDirectory(dir.File("sticky/mine"), 0755);
    MakeDirectory(dir.File("sticky/theirs"), 0755, kOtherUser);
    MakeDirectory(dir.File("theirs"), 0755, kOtherUser);
    MakeLink(dir.File("own"), dir.File("sticky/planted"), kOtherUser);
    MakeLink(dir.File("own"), dir.File("sticky/mylink"), 0);
    MakeLink(dir.File("own"), dir.File("link"), 0);
    MakeLink(dir.File("own"), dir.File("theirlink"), kOtherUser);
    const struct {
        const char* Path;
        bool Opened;
    } cases[] = {
        {"own", true},
        {"own/", true},
        {"shared", false},             // anyone may swap the file or plant names
        {"shared/sub", false},         // ... or swap the directory on the way
        {"group", false},
        {"sticky", true},              // the sticky bit keeps the service's own names its own
        {"sticky/mine", true},
        {"sticky/theirs", false},      // another user's directory under the sticky bit
        {"sticky/planted", false},     // a link another user planted
        {"sticky/planted/", false},
        {"sticky/mylink", true},
        {"link", true},                // a link the service's own user or root made
        {"theirlink", false},
        {"theirs", true},              // its owner alone may write it
        {"missing", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        try {
            UniqueFd fd = OpenTrustedDirectory(dir.File(c.Path));
            EXPECT_TRUE(c.Opened);
            EXPECT_TRUE(fd);
        } catch (const Error& e) {
            EXPECT_FALSE(c.Opened) << e.what();
            EXPECT_NE(std::string(e.what()).find(dir.File("")), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace tessel
