// The integration tests' main: every run of the binary is one private namespace, so each case
// that CTest starts gets its own server, settings, syslog socket and processes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/namespace.h"

int main(int argc, char** argv) {
    const std::vector<std::string> original(argv, argv + argc);
    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        enter_private_namespace(original);
    }
    return RUN_ALL_TESTS();
}
