// The process sampler on fixture texts and on /proc, and the shell runner.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "stats/procparse.h"
#include "stats/stats.h"

namespace {

// A stat line with the given ticks in tokens 14 to 17 and 22, the rest as the kernel writes it.
std::string stat_line(long utime, long stime, long cutime, long cstime, long start) {
    return "4242 (Suricata-Main) S 1 4242 4242 0 -1 4194560 2451 0 0 0 " + std::to_string(utime) +
           " " + std::to_string(stime) + " " + std::to_string(cutime) + " " +
           std::to_string(cstime) + " 20 0 1 0 " + std::to_string(start) +
           " 8491008 1234 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}

TEST(StatText, TakesTokensFourteenToSeventeenAndTwentyTwo) {
    const StatTicks t = parse_stat(stat_line(300, 200, 40, 10, 123456));
    EXPECT_EQ(t.cpu, 550);
    EXPECT_EQ(t.start, 123456);
}

TEST(StatText, EmptyTextThrowsStol) {
    try {
        parse_stat("");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "stol");
    }
    EXPECT_THROW(parse_uptime_seconds(""), std::invalid_argument);
}

TEST(StatText, TokenNotANumberOrBeyondSixtyFourBitsThrows) {
    EXPECT_THROW(parse_stat("1 (x) S 1 1 1 0 -1 0 0 0 0 0 (x) 0 0 0 20 0 1 0 5"),
                 std::invalid_argument);
    EXPECT_THROW(parse_stat("1 (x) S 1 1 1 0 -1 0 0 0 0 0 99999999999999999999 0 0 0 20 0 1 0 5"),
                 std::out_of_range);
}

TEST(UptimeText, DropsTheFraction) {
    EXPECT_EQ(parse_uptime_seconds("35987.89 70012.34\n"), 35987);
}

TEST(CpuShare, WorkedExampleGivesFifty) {
    // 550 ticks of CPU over 1000 elapsed ticks at 100 ticks per second.
    EXPECT_EQ(cpu_share({550, 500}, 15, 100), 50.0f);
}

TEST(CpuShare, CpuUnderOneSecondCountsAsNone) {
    EXPECT_EQ(cpu_share({99, 0}, 10, 100), 0.0f);
}

TEST(CpuShare, StartAboveUptimeGivesZero) {
    EXPECT_EQ(cpu_share({500, 1001}, 10, 100), 0.0f);
    EXPECT_EQ(cpu_share({500, 1000}, 10, 100), 0.0f);
}

TEST(CpuShare, YoungerThanASecondIsAFigureNotNaN) {
    // One elapsed tick: 1 CPU second over 0.01 s.
    EXPECT_EQ(cpu_share({100, 999}, 10, 100), 10000.0f);
}

constexpr const char* kStatus =
    "Name:\tSuricata-Main\n"
    "Umask:\t0022\n"
    "State:\tS (sleeping)\n"
    "VmPeak:\t99999999 kB\n"
    "VmSize:\t12345678 kB\n"
    "VmLck:\t       0 kB\n"
    "VmHWM:\t88888888 kB\n"
    "VmRSS:\t    5120 kB\n"
    "RssAnon:\t    4000 kB\n"
    "Threads:\t1\n";

TEST(StatusText, ReadsEightDigitSizeWholeAndIgnoresPeakAndHighWater) {
    const StatusMemory m = parse_status(kStatus);
    EXPECT_EQ(m.virtual_kb, 12345678);
    EXPECT_EQ(m.resident_kb, 5120);
}

TEST(StatusText, EightDigitResidentSizeReadWhole) {
    EXPECT_EQ(parse_status("VmRSS:\t10485760 kB\n").resident_kb, 10485760);
}

TEST(StatusText, MissingLinesAndMissingNumbersGiveZero) {
    const StatusMemory none = parse_status("VmPeak:\t100 kB\nVmHWM:\t50 kB\n");
    EXPECT_EQ(none.virtual_kb, 0);
    EXPECT_EQ(none.resident_kb, 0);
    const StatusMemory bare = parse_status("VmSize:\n VmRSS: 5 kB\nVmRSS");
    EXPECT_EQ(bare.virtual_kb, 0);
    EXPECT_EQ(bare.resident_kb, 0);
}

TEST(StatusText, LastOccurrenceWins) {
    EXPECT_EQ(parse_status("VmSize:\t1 kB\nVmSize:\t2 kB").virtual_kb, 2);
}

TEST(ProcessUsageOfPid, WithoutProcEntryIsAllZero) {
    const ProcessUsage u = getProcessUsage(INT_MAX);  // above any pid_max
    EXPECT_EQ(u.cpu_percent, 0.0f);
    EXPECT_EQ(u.virtual_memory, 0);
    EXPECT_EQ(u.physical_memory, 0);
}

TEST(Exec, LongOutputOverSeveralLinesComesBackWhole) {
    const std::string line(300, 'x');
    const std::string out = exec(("printf '" + line + "\\n\\nend'").c_str());
    EXPECT_EQ(out, line + "\n\nend");
}

TEST(Exec, SilentFailingCommandGivesEmptyText) {
    EXPECT_EQ(exec("exit 3"), "");
    EXPECT_EQ(exec("pgrep no-such-procx"), "");
}

}  // namespace
