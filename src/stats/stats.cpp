// The statistics job. The report itself is not written yet: make_stat does nothing.
#include "stats/stats.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <sstream>

std::string getCurrentTimeISO8601() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::ostringstream out;
    out << std::put_time(std::localtime(&now), "%FT%T%z");
    return out.str();
}

void make_stat() {}
