// A packaged layout through the real binary: configs.ini and the state directory away from the
// executable, named by --config and --state-dir.
#include <sys/stat.h>

#include <filesystem>

#include "e2e_fixture.h"
#include "service_process.h"
#include "support/aiosmtpd_server.h"

namespace tessel::e2e {
namespace {

TEST_F(EndToEndTest, OnceReadsTheGivenConfigurationAndRebuildsAttachmentsInTheStateDirectory) {
    if (!test::AiosmtpdAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
    test::AiosmtpdServer server({});
    MailServer(server.Port());
    StoreObject("u1", "table.csv", {"a;b\r\n", "1;2\r\n"});
    Queue("ana@example.test", "With attachment", "See the table.", "u1");
    ServiceInstall install(dir, tdb.Parameters());
    // The configuration moves away; next to the executable stays one that would fail the start.
    std::filesystem::create_directories(dir.File("etc"));
    std::filesystem::rename(dir.File("bin/configs.ini"), dir.File("etc/configs.ini"));
    dir.Write("bin/configs.ini", "[DBCONFIG]\nPassword=G1\n");
    std::filesystem::create_directories(dir.File("state"));

    ProcessResult run = install.RunOnce(
        {}, {"--config=" + dir.File("etc/configs.ini"), "--state-dir=" + dir.File("state")});

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(WithoutInformation(run.Err), "") << run.Err;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(Contains(messages[0].Data, "filename=\"table.csv\""));
    EXPECT_EQ(QueuedCount(), 0);
    struct stat info;
    ASSERT_EQ(::stat(dir.File("state/attachments").c_str(), &info), 0) << "attachments/ was not made there";
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(install.AttachmentDirectory()));
}

}  // namespace
}  // namespace tessel::e2e
