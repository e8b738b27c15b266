// The retention job: trims the configured lists to the events within valid_duration hours of the
// present, keeping their order.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// One run over every list named in the settings' `keys`. Returns 0 when the run ends normally,
// stops on a stop request or after a write got no reply, 1 when the settings file cannot be read
// or parsed. A missing or mistyped setting, a failed connection and a failed LLEN or LRANGE leave
// as exceptions.
int timeregister();

// How long a list is judged from what the job remembers of it before it is read whole again, so an
// edit in its middle by another client, which no check of its ends can see, is judged within that
// time. An hour unless the program says otherwise.
void set_full_read_interval(std::chrono::seconds interval);

// Whether `key` exists. False when it does not and on every failure, each failure logged.
bool checkKeyExists(redisContext* c, const std::string& key);

// What becomes of one entry. Pure, so the fuzzers reach it without a server.
enum class EntryVerdict {
    kKeep,              // its timestamp lies within the window
    kStale,             // it lies outside: dropped without a message
    kNotJson,           // dropped with the JSON parse message
    kInvalidTimestamp,  // dropped with the invalid-timestamp message and `reason`
};
struct EntryJudgement {
    EntryVerdict verdict = EntryVerdict::kNotJson;
    std::string reason;
    std::int64_t instant = 0;  // the timestamp, where it reads as one
};
// Judges `entry` against the present `now` (nanoseconds since the epoch, as parseISO8601 gives):
// kept when the whole hours between them, truncated toward zero, are at most valid_duration
// either way.
EntryJudgement judge_entry(std::string_view entry, std::int64_t now, int valid_duration);
