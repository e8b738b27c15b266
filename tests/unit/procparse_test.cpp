// The /proc texts the sampler reads, and its CPU-share arithmetic, on literal kernel texts.
#include "stats/procparse.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

constexpr const char* kStat =
    "4242 (Suricata-Main) S 1 4242 4242 0 -1 4194560 2451 0 0 0 300 200 40 10 20 0 1 0 123456 "
    "8491008 1234 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";

TEST(ProcText, StatTakesTokensFourteenToSeventeenAndTwentyTwo) {
    const StatTicks t = parse_stat(kStat);
    EXPECT_EQ(t.cpu, 550);
    EXPECT_EQ(t.start, 123456);
    EXPECT_EQ(parse_uptime_seconds("35987.89 70012.34\n"), 35987);
}

TEST(ProcText, MissingOrBadTokensThrowStol) {
    EXPECT_THROW(parse_stat(""), std::invalid_argument);  // the process ended meanwhile
    EXPECT_THROW(parse_stat("1 (x) S 1 1 1 0 -1 0 0 0 0 0 99999999999999999999 0 0 0 20 0 1 0 5"),
                 std::out_of_range);
    EXPECT_THROW(parse_uptime_seconds(""), std::invalid_argument);
}

TEST(ProcText, StatusReadsWholeEightDigitSizesAndOnlyItsTwoLines) {
    const StatusMemory m = parse_status(
        "VmPeak:\t99999999 kB\nVmSize:\t12345678 kB\nVmHWM:\t88888888 kB\nVmRSS:\t10485760 kB\n");
    EXPECT_EQ(m.virtual_kb, 12345678);
    EXPECT_EQ(m.resident_kb, 10485760);
    EXPECT_EQ(parse_status("VmSize:\t1 kB\nVmSize:\t2 kB").virtual_kb, 2);  // the last one wins
    const StatusMemory bare = parse_status("VmSize:\n VmRSS: 5 kB\nVmRSS");
    EXPECT_EQ(bare.virtual_kb, 0);
    EXPECT_EQ(bare.resident_kb, 0);
}

TEST(CpuShare, WholeCpuSecondsOverElapsedSeconds) {
    EXPECT_EQ(cpu_share({550, 500}, 15, 100), 50.0f);     // 5 s of CPU over 10 s
    EXPECT_EQ(cpu_share({99, 0}, 10, 100), 0.0f);         // under a second counts as none
    EXPECT_EQ(cpu_share({500, 1000}, 10, 100), 0.0f);     // started within the uptime's second
    EXPECT_EQ(cpu_share({100, 999}, 10, 100), 10000.0f);  // one tick old: a figure, not NaN
}

}  // namespace
