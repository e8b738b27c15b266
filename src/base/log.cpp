// Thin forwarding layer over syslog(3).
#include "base/log.h"

#include <syslog.h>

#include <cstdarg>

void open_log() {
    setlogmask(LOG_UPTO(LOG_INFO));
    openlog("velstrand", LOG_PID, LOG_USER);
}

void close_log() {
    closelog();
}

void log_msg(int priority, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(priority, fmt, ap);
    va_end(ap);
}
