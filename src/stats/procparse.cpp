// The /proc texts as the sampler reads them. Kernel figures never come near the 64-bit limits;
// the ticks arithmetic wraps instead of overflowing so that any text has a defined result.
#include "stats/procparse.h"

#include <sstream>
#include <string>

namespace {

// The whitespace that stream extraction of a text skips in the "C" locale.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next whitespace-separated token from `pos` on; empty once the text is used up.
std::string_view next_token(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && is_blank(text[pos])) {
        ++pos;
    }
    const std::size_t begin = pos;
    while (pos < text.size() && !is_blank(text[pos])) {
        ++pos;
    }
    return text.substr(begin, pos - begin);
}

std::int64_t to_long(std::string_view token) {
    return std::stol(std::string(token));
}

std::int64_t wrap_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t wrap_sub(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t wrap_mul(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

// A 64-bit integer by stream extraction from `line` after `skip` characters: blanks skipped,
// reading stops at the first non-digit (the " kB" unit), 0 when no number stands there.
std::int64_t number_after(std::string_view line, std::size_t skip) {
    if (skip > line.size()) {
        return 0;
    }
    std::istringstream in{std::string(line.substr(skip))};
    std::int64_t value = 0;
    in >> value;
    return value;
}

}  // namespace

StatTicks parse_stat(std::string_view text) {
    StatTicks ticks;
    std::size_t pos = 0;
    for (int n = 1; n <= 22; ++n) {
        const std::string_view token = next_token(text, pos);
        if (n >= 14 && n <= 17) {
            ticks.cpu = wrap_add(ticks.cpu, to_long(token));
        } else if (n == 22) {
            ticks.start = to_long(token);
        }
    }
    return ticks;
}

std::int64_t parse_uptime_seconds(std::string_view text) {
    std::size_t pos = 0;
    return to_long(next_token(text, pos));
}

StatusMemory parse_status(std::string_view text) {
    StatusMemory memory;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        // The character after the label is the colon; it is skipped unexamined.
        if (line.substr(0, 6) == "VmSize") {
            memory.virtual_kb = number_after(line, 7);
        }
        if (line.substr(0, 5) == "VmRSS") {
            memory.resident_kb = number_after(line, 6);
        }
    }
    return memory;
}

float cpu_share(const StatTicks& ticks, std::int64_t uptime_seconds, std::int64_t tick_rate) {
    const std::int64_t elapsed = wrap_sub(wrap_mul(uptime_seconds, tick_rate), ticks.start);
    if (elapsed < 1) {
        return 0.0f;
    }
    // Whole seconds on purpose: CPU time under a second counts as none.
    const std::int64_t cpu_seconds = ticks.cpu / tick_rate;
    // In floating point, so a process younger than a second still has a non-zero divisor.
    const float elapsed_seconds = static_cast<float>(elapsed) / static_cast<float>(tick_rate);
    return static_cast<float>(cpu_seconds) / elapsed_seconds * 100.0f;
}
