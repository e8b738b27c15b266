// How a fuzz target reports a finding: the message on stderr, then abort, which libFuzzer and
// the replay runner both treat as a failed input.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void finding(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("finding: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}
