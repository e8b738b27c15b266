// The retention job: trims the configured lists to the events within valid_duration hours of the
// present, keeping their order.
#pragma once

#include <hiredis/hiredis.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "redis/redis.h"

// One run over every list named in the settings' `keys`. Returns 0 when the run ends normally or
// stops after a write got no reply, 1 when the settings file cannot be read or parsed. A missing
// or mistyped setting, a failed connection and a failed LLEN or LRANGE leave as exceptions.
int timeregister();

// Whether `key` exists. False when it does not and on every failure, each failure logged.
bool checkKeyExists(redisContext* c, const std::string& key);

// What getKeyVector read of one list.
struct ListRead {
    long long length = 0;            // the length LLEN gave
    std::vector<RedisReply> pieces;  // the LRANGE replies, which own the texts handed out
};

// Watches `key` and reads all its entries without removing any, head first, in LRANGE pieces.
// Each entry, whole (zero bytes included), goes to `visit` as its piece arrives; the text stays
// valid as long as `read`, and `visit` sends nothing on `c`. `read.length` is set before the
// first entry is visited. On return the watch stays, for the caller to end with EXEC or UNWATCH.
// Throws std::runtime_error when LLEN or LRANGE get no reply or a reply of the wrong kind; the
// watch has then been ended, or the connection has failed.
void getKeyVector(redisContext* c, const std::string& key, ListRead& read,
                  const std::function<void(std::string_view)>& visit);

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
};
// Judges `entry` against the present `now` (a timestamp text): kept when the whole hours between
// them, truncated toward zero, are at most valid_duration either way.
EntryJudgement judge_entry(std::string_view entry, std::string_view now, int valid_duration);
