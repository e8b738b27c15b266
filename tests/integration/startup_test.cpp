// Start-up of both programs: detaching, descriptors, syslog identity, the end of the test build.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness/harness.h"

namespace vt {
namespace {

class Startup : public IntegrationTest {};

TEST_F(Startup, TestBuildRunsFiveCyclesAndEnds) {
    const int status = run_test_build();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(log->count("velstrandtest: lock lock:velstrand acquired"), 5u) << log->dump();
    EXPECT_EQ(log->count("velstrandtest finished by system 0"), 1u);
}

}  // namespace
}  // namespace vt
