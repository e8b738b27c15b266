// The one way this program writes to syslog. Call sites carry their own message texts; this
// only forwards them, so a message reads the same in the code and in the operator's log.
#pragma once

// Sets the mask to LOG_UPTO(LOG_INFO) and opens the log as "velstrand", LOG_PID, LOG_USER.
void open_log();
// Closes the log; a line logged before the next open_log goes out under the libc's default
// identity (the program's name, LOG_PID kept).
void close_log();
void log_msg(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A job's log: opened when it starts and closed on every way out, exceptions included.
struct JobLog {
    JobLog() { open_log(); }
    ~JobLog() { close_log(); }
    JobLog(const JobLog&) = delete;
    JobLog& operator=(const JobLog&) = delete;
};
