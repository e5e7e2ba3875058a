// Starting the real executable from a test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tessel::test {

// ChildEnvironment - this process's environment without the variables that change where the
// service's records, status reports and unit files go (NOTIFY_SOCKET, JOURNAL_STREAM,
// TESSELCOM_UNIT_DIR) and with LC_ALL=C, followed by extra (whose entries win).
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra);

// SpawnChild - starts argv[0] with that environment, standard input read from inPath and output
// and error written into files. The child is killed when this process ends, so a test that dies
// leaves no service behind. Returns -1 (and fails the test) when it cannot start.
pid_t SpawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                 const std::string& inPath, const std::string& outPath, const std::string& errPath);

}  // namespace tessel::test
