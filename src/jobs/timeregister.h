// The retention job: trims the configured lists to the events within valid_duration hours of the
// present, keeping their order.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
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
    bool hold = false;               // set by the visitor: keep the pieces from the current one on
    long long held_from = 0;         // the entries before this position were read and let go
    std::vector<RedisReply> pieces;  // the LRANGE replies held, which own the texts handed out
};

// Watches `key` and reads all its entries without removing any, head first, in LRANGE pieces.
// Each entry, whole (zero bytes included), goes to `visit` as its piece arrives; `visit` sends
// nothing on `c`. `read.length` is set before the first entry is visited. A piece is let go once
// visited unless `read.hold` is set by then; the texts of held pieces stay valid as long as
// `read`. On return the watch stays, for the caller to end with EXEC or UNWATCH. Throws
// std::runtime_error when LLEN or LRANGE get no reply or a reply of the wrong kind; the watch has
// then been ended, or the connection has failed.
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
// Judges `entry` against the present `now` (nanoseconds since the epoch, as parseISO8601 gives):
// kept when the whole hours between them, truncated toward zero, are at most valid_duration
// either way.
EntryJudgement judge_entry(std::string_view entry, std::int64_t now, int valid_duration);

// How one list is written back. Every path leaves exactly the kept entries, in their order.
struct RewritePlan {
    enum class Path {
        kNone,      // nothing dropped: nothing is written
        kTrim,      // what is dropped lies at the ends: LTRIM key trim_start trim_stop
        kRemove,    // that LTRIM, then one LREM per dropped entry between the ends
        kPushBack,  // LTRIM of everything read (trim_start is the length), the kept pushed back
    };
    Path path = Path::kNone;
    long long trim_start = 0;
    long long trim_stop = -1;
    // LREM key count text, in this order: count 1 removes the first copy from the head, -1 the
    // first from the tail.
    std::vector<std::pair<int, std::string>> removals;
};

// Plans the rewrite of one list from the verdicts on its entries, given head first as they are
// read. It holds positions and the texts of at most a thousand dropped entries (16 MB), never a
// kept one.
//
// Within a run a verdict depends on the entry's text alone, so every copy of a dropped text is
// dropped: an LREM of such a text, from either end, removes a dropped copy, and one LREM per
// dropped copy between the ends removes them all. Where the dropped entries between the ends are
// too many to hold, or their LREMs would cost more than pushing the kept entries back, the kept
// entries are pushed back.
class RewritePlanner {
  public:
    void add(std::string_view entry, bool keep);
    // Whether the push-back is certain already: the kept entries read from here on are needed.
    bool pushes_back() const { return push_back_; }
    bool dropped(long long pos) const;
    // The plan for a list of `length` entries; once only.
    RewritePlan finish(long long length);

  private:
    long long next_ = 0;
    long long kept_bytes_ = 0;
    long long last_kept_ = -1;
    std::vector<std::pair<long long, long long>> runs_;  // the dropped entries, [first, end)
    // The dropped entries after the first kept one, up to a bound; then where the first one
    // beyond the bound lies.
    std::vector<std::pair<long long, std::string>> removals_;
    size_t removal_bytes_ = 0;
    long long unheld_ = -1;
    bool push_back_ = false;
};
