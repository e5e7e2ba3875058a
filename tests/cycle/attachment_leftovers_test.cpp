// What a killed process left under attachments/ is removed by the next cycle that works; what a
// live process holds, links and other entries are not followed or touched.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "cycle/attachment.h"
#include "cycle/attachment_leftovers.h"
#include "cycle_fixture.h"
#include "util/event_log.h"
#include "util/unique_fd.h"

namespace tessel::cycle::test {
namespace {

namespace fs = std::filesystem;

class LeftoverAttachmentsTest : public CycleTest {
protected:
    LeftoverAttachmentsTest() {
        fs::create_directories(root);
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
    }
    // Leftover - an object directory with one file, as a killed process leaves it.
    std::string Leftover(const std::string& name) {
        fs::create_directory(root + name);
        dir.Write("attachments/" + name + "/report.pdf", "contents");
        return root + name;
    }

    std::string root = AttachmentRoot();
    ScopedEventSink quiet{[](Severity, const std::string&, const std::string&) {}};
};

TEST_F(LeftoverAttachmentsTest, ObjectDirectoriesGoLinksAreNotFollowedAndLiveOnesStay) {
    std::string dead = Leftover("obj-Ab12Cd");
    std::string live = Leftover("obj-Ef34Gh");
    UniqueFd held(::open(live.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(::flock(held.Get(), LOCK_EX | LOCK_NB), 0);
    fs::create_directory(dir.File("precious"));
    std::string outside = dir.Write("precious/keep.txt", "keep");
    fs::create_directory_symlink(dir.File("precious"), root + "obj-link12");
    std::string other = dir.Write("attachments/notes.txt", "not ours");

    RemoveLeftoverAttachments(root);

    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(live + "/report.pdf"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root + "obj-link12")));
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(other));
}

TEST_F(LeftoverAttachmentsTest, ACycleThatWorksRemovesThemAndAHeldCycleDoesNot) {
    UsualSettings();
    Set("email.outlook", "1");
    std::string dead = Leftover("obj-Ab12Cd");
    EXPECT_EQ(Cycle().RunCycle(), CycleOutcome::Held);
    EXPECT_TRUE(fs::exists(dead));

    sql().Exec("UPDATE configs SET Valor = '0' WHERE Propriedade = 'email.outlook'");
    EXPECT_EQ(Cycle().RunCycle(), CycleOutcome::Completed);
    EXPECT_FALSE(fs::exists(dead));
}

TEST_F(LeftoverAttachmentsTest, ADirectoryInUseIsNotTakenByAnotherCycle) {
    // Two cycles on one attachment directory: the second one's clean-up runs while the first
    // still sends from its object directory.
    sql().Exec("INSERT INTO objectos_id VALUES ('u1', 'report.txt')");
    sql().Exec("INSERT INTO ficheiros VALUES ('u1', 1, 'contents')");
    db.Connect();
    AttachmentDirectory directory(root);
    ASSERT_TRUE(directory.Usable()) << directory.Problem();
    AttachmentFiles files(directory);
    files.RebuildAttachment(db, "u1");
    ASSERT_EQ(files.Paths().size(), 1u);

    RemoveLeftoverAttachments(root);

    EXPECT_TRUE(fs::exists(files.Paths()[0]));
}

TEST_F(LeftoverAttachmentsTest, ARootThatIsNotTheServicesAloneIsLeftAlone) {
    // Another local user could have made the obj- directory there, with files of their own.
    const struct {
        const char* what;
        bool needsRoot;
        std::function<void(const std::string&)> change;
    } cases[] = {
        {"writable by others", false, [](const std::string& r) { fs::permissions(r, fs::perms::all); }},
        {"writable by its group", false,
         [](const std::string& r) { fs::permissions(r, fs::perms::owner_all | fs::perms::group_write); }},
        {"owned by another user", true,
         [](const std::string& r) { ASSERT_EQ(::chown(r.c_str(), 65534, -1), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) continue;
        fs::remove_all(root);
        fs::create_directories(root);
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
        std::string theirs = Leftover("obj-Ab12Cd");
        c.change(root);

        RemoveLeftoverAttachments(root);

        EXPECT_TRUE(fs::exists(theirs + "/report.pdf"));
    }
}

TEST_F(LeftoverAttachmentsTest, AMissingRootIsNothingToDo) {
    fs::remove_all(root);
    RemoveLeftoverAttachments(root);
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
}  // namespace tessel::cycle::test
