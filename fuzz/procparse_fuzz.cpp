// The /proc readers on any bytes: they either give the figures a plain reading by the C++
// library gives (stream tokens, std::stol, getline and stream extraction) or throw the
// documented exceptions, and the CPU share is a defined number for whatever they give.
//
// Input: one byte for the tick rate, then the text, read as a stat, an uptime and a status text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "finding.h"
#include "stats/procparse.h"

namespace {

// Token n (from 1) of the text by stream extraction, "" when there are fewer.
std::string token(const std::string& text, int n) {
    std::istringstream in(text);
    std::string t;
    for (int i = 0; i < n; ++i) {
        if (!(in >> t)) {
            return "";
        }
    }
    return t;
}

enum class Thrown { kNothing, kInvalid, kRange };

template <typename Fn>
Thrown thrown(Fn fn) {
    try {
        fn();
        return Thrown::kNothing;
    } catch (const std::invalid_argument&) {
        return Thrown::kInvalid;
    } catch (const std::out_of_range&) {
        return Thrown::kRange;
    }
}

std::int64_t wrapped_sum(const std::vector<std::int64_t>& v) {
    std::uint64_t sum = 0;
    for (const std::int64_t x : v) {
        sum += static_cast<std::uint64_t>(x);
    }
    return static_cast<std::int64_t>(sum);
}

std::int64_t status_number(const std::string& text, const std::string& label) {
    std::istringstream lines(text);
    std::string line;
    std::int64_t value = 0;
    bool seen = false;
    while (std::getline(lines, line)) {
        if (line.compare(0, label.size(), label) == 0) {
            std::istringstream in(line.size() > label.size() ? line.substr(label.size() + 1)
                                                             : std::string());
            std::int64_t v = 0;
            in >> v;
            value = v;
            seen = true;
        }
    }
    return seen ? value : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::int64_t tick_rate = 1 + data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    // stat: the same tokens through std::stol, in the same order.
    StatTicks ticks;
    const Thrown got = thrown([&] { ticks = parse_stat(text); });
    StatTicks expected;
    const Thrown want = thrown([&] {
        std::vector<std::int64_t> cpu;
        for (int n = 14; n <= 17; ++n) {
            cpu.push_back(std::stol(token(text, n)));
        }
        expected.cpu = wrapped_sum(cpu);
        expected.start = std::stol(token(text, 22));
    });
    if (got != want) {
        finding("parse_stat threw %d, the plain reading %d", static_cast<int>(got),
                static_cast<int>(want));
    }
    if (got == Thrown::kNothing && (ticks.cpu != expected.cpu || ticks.start != expected.start)) {
        finding("parse_stat gave %lld %lld, the plain reading %lld %lld",
                static_cast<long long>(ticks.cpu), static_cast<long long>(ticks.start),
                static_cast<long long>(expected.cpu), static_cast<long long>(expected.start));
    }

    std::int64_t uptime = 0;
    const Thrown got_up = thrown([&] { uptime = parse_uptime_seconds(text); });
    std::int64_t want_uptime = 0;
    const Thrown want_up = thrown([&] { want_uptime = std::stol(token(text, 1)); });
    if (got_up != want_up || uptime != want_uptime) {
        finding("parse_uptime_seconds gave %lld (thrown %d), the plain reading %lld (%d)",
                static_cast<long long>(uptime), static_cast<int>(got_up),
                static_cast<long long>(want_uptime), static_cast<int>(want_up));
    }

    const StatusMemory memory = parse_status(text);
    const std::int64_t vsize = status_number(text, "VmSize");
    const std::int64_t rss = status_number(text, "VmRSS");
    if (memory.virtual_kb != vsize || memory.resident_kb != rss) {
        finding("parse_status gave %lld %lld, the plain reading %lld %lld",
                static_cast<long long>(memory.virtual_kb),
                static_cast<long long>(memory.resident_kb), static_cast<long long>(vsize),
                static_cast<long long>(rss));
    }

    const float share = cpu_share(ticks, uptime, tick_rate);
    if (std::isnan(share)) {
        finding("cpu_share is not a number");
    }
    return 0;
}
