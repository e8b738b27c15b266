// The event fan-out job: files every event of the main list under the list named by its
// event_type. The backlog moves in chunks taken from the main list's oldest end; each chunk is
// one transaction that files its events and removes them, so a chunk moves whole or not at all
// and nothing the job holds in memory can be lost.
#include "jobs/func.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "base/signals.h"
#include "jobs/chrondiff.h"
#include "jobs/fanout_script.h"
#include "jobs/jsonfield.h"
#include "redis/lockkeeper.h"
#include "redis/redis.h"

namespace {

// A chunk holds at most this many events or, by the sizes seen so far, about this many bytes:
// its transaction keeps the server from everyone else for some tens of milliseconds, and the
// job's memory stays that of one chunk whatever the backlog. The first chunk of a run is small
// until the events' size is known.
constexpr size_t kChunkEvents = 10000;
constexpr size_t kChunkBytes = 16 << 20;
constexpr size_t kFirstChunkEvents = 1000;
// Bounds of one LPUSH, so a type's share of a chunk is neither one command per event nor one
// giant command.
constexpr size_t kPushEvents = 4096;
constexpr size_t kPushBytes = 4 << 20;
// The script compares this much of the chunk's boundary events.
constexpr size_t kBoundaryBytes = 4096;
// Times in a row a chunk may be missed (the list changed at both ends) before the rest of the
// backlog is left for the next run.
constexpr int kMisses = 3;
// Ends whose newest timestamps lie closer than this tell nothing about which end is older.
constexpr std::int64_t kClearlyNewerNs = 1000000000;

enum class End { kHead, kTail };

End other(End e) {
    return e == End::kHead ? End::kTail : End::kHead;
}

const char* name(End e) {
    return e == End::kHead ? "head" : "tail";
}

// The end the engine writes to, as this process last saw it arrive there.
std::optional<End> producer_end;

int uid() {
    return static_cast<int>(getuid());
}

int transaction_failed() {
    log_msg(LOG_ALERT, "redistransfer: transaction failed! uid=%d", uid());
    return -1;
}

// Reads one MULTI ... EXEC answer of `queued` commands: the EXEC reply, or null when the
// connection failed or the transaction was refused.
RedisReply exec_answer(redisContext* c, size_t queued) {
    RedisReply answer = redis_exec(c, queued);
    return is_array(answer.get()) && answer->elements == queued ? std::move(answer) : nullptr;
}

// One chunk as read, its events oldest first, and the event that followed it; the texts live in
// the reply.
struct Chunk {
    RedisReply reply;
    long long length_at_read = 0;
    std::vector<std::string_view> events;
    std::optional<std::string_view> next;
    size_t bytes = 0;
};

// Reads up to `count` events at end `from`, the one after them, and the list's length at that
// moment. False when the connection failed or the main list is not a list.
bool read_chunk(redisContext* c, const std::string& key, End from, size_t count, Chunk& chunk) {
    const long long last = static_cast<long long>(count);
    redis_append(c, "MULTI");
    redis_append(c, "LLEN %b", key.data(), key.size());
    if (from == End::kHead) {
        redis_append(c, "LRANGE %b 0 %lld", key.data(), key.size(), last);
    } else {
        redis_append(c, "LRANGE %b -%lld -1", key.data(), key.size(), last + 1);
    }
    chunk.reply = exec_answer(c, 2);
    if (!chunk.reply || !is_integer(chunk.reply->element[0]) ||
        !is_array(chunk.reply->element[1])) {
        return false;
    }
    chunk.length_at_read = chunk.reply->element[0]->integer;
    const redisReply* range = chunk.reply->element[1];
    for (size_t i = 0; i < range->elements; ++i) {
        const redisReply* e = range->element[from == End::kHead ? i : range->elements - 1 - i];
        if (i == count) {
            chunk.next = reply_text(e);
        } else {
            chunk.events.push_back(reply_text(e));
            chunk.bytes += e->len;
        }
    }
    return true;
}

// The newest timestamp among the first few events at one end; 0 when none reads as one.
std::int64_t newest_stamp(const redisReply* sample) {
    std::int64_t newest = 0;
    for (size_t i = 0; is_array(sample) && i < sample->elements; ++i) {
        const JsonField stamp = member_as_string(reply_text(sample->element[i]), "timestamp");
        try {
            newest = std::max(newest, parseISO8601(stamp.text));
        } catch (const std::exception&) {
        }
    }
    return newest;
}

// Where a run begins: the events it is to move, the end where the oldest are, and the event
// standing at that end.
struct Start {
    long long events = 0;
    End from = End::kHead;
    std::optional<std::string> near;
};

// The oldest end is learned from where events were last seen arriving; before that, from the
// events' own timestamps at the two ends (the newest of a few at each, since flow events carry
// their flow's start); where neither tells, it is the head. False when the list cannot be read.
bool survey(redisContext* c, const std::string& key, Start& start) {
    redis_append(c, "MULTI");
    redis_append(c, "LLEN %b", key.data(), key.size());
    redis_append(c, "LRANGE %b 0 7", key.data(), key.size());
    redis_append(c, "LRANGE %b -8 -1", key.data(), key.size());
    const RedisReply ends = exec_answer(c, 3);
    if (!ends || !is_integer(ends->element[0]) || !is_array(ends->element[1]) ||
        !is_array(ends->element[2])) {
        return false;
    }
    start.events = ends->element[0]->integer;
    if (producer_end) {
        start.from = other(*producer_end);
    } else {
        const std::int64_t head = newest_stamp(ends->element[1]);
        const std::int64_t tail = newest_stamp(ends->element[2]);
        const bool head_newer = head != 0 && tail != 0 && head - tail > kClearlyNewerNs;
        start.from = head_newer ? End::kTail : End::kHead;
    }
    const redisReply* sample = ends->element[start.from == End::kHead ? 1 : 2];
    if (sample->elements > 0) {
        start.near =
            reply_text(sample->element[start.from == End::kHead ? 0 : sample->elements - 1]);
    }
    return true;
}

// What a run has to say at its end: the events filed under the empty type, and the events whose
// list's key holds another type, by type in the order first met, with the server's text.
struct Notes {
    int malformed = 0;
    std::vector<std::pair<std::string, std::pair<int, std::string>>> refused;

    void refuse(const std::string& type, int count, std::string_view error) {
        auto it = std::find_if(refused.begin(), refused.end(),
                               [&](const auto& r) { return r.first == type; });
        if (it == refused.end()) {
            it = refused.insert(refused.end(), {type, {0, std::string(error)}});
        }
        it->second.first += count;
    }
};

void append_le(std::string& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xff);
    }
}

// Where one transaction found its chunk: the script's {p, a}. p is -1 when it was not found.
struct Placement {
    long long position = -1;
    long long arrived = 0;
};

// Files one chunk and removes it from the main list in one transaction. False when the
// transaction did not take place (connection lost, writes refused): then nothing changed.
bool file_chunk(redisContext* c, const std::string& main_key, End from, const Chunk& chunk,
                Notes& notes, Placement& placed) {
    // Each event's list: KEYS[2..] in the order first met, 1 for the main list itself.
    std::vector<std::string> types;
    std::unordered_map<std::string, std::uint16_t> index;
    std::vector<std::uint16_t> list_of;
    list_of.reserve(chunk.events.size());
    for (const std::string_view e : chunk.events) {
        JsonField field = member_as_string(e, "event_type");
        if (field.status != FieldStatus::kText) {
            // Unreadable events are filed rather than left to block every later run.
            ++notes.malformed;
            field.text.clear();
        }
        if (field.text == main_key) {
            list_of.push_back(1);
            continue;
        }
        const auto [it, fresh] = index.emplace(std::move(field.text), types.size() + 2);
        if (fresh) {
            types.push_back(it->first);
        }
        list_of.push_back(it->second);
    }

    // The pushes, oldest first, so each list's newest event ends at its head.
    std::vector<std::vector<std::string_view>> members(types.size());
    for (size_t i = 0; i < chunk.events.size(); ++i) {
        if (list_of[i] > 1) {
            members[list_of[i] - 2].push_back(chunk.events[i]);
        }
    }
    struct Push {
        size_t type;
        int events;
    };
    std::vector<Push> pushes;
    redis_append(c, "MULTI");
    for (size_t t = 0; t < types.size(); ++t) {
        std::vector<std::string_view> args = {"LPUSH", types[t]};
        size_t bytes = 0;
        for (size_t i = 0; i < members[t].size(); ++i) {
            args.push_back(members[t][i]);
            bytes += members[t][i].size();
            if (args.size() - 2 == kPushEvents || bytes >= kPushBytes ||
                i + 1 == members[t].size()) {
                pushes.push_back({t, static_cast<int>(args.size() - 2)});
                redis_append_argv(c, args);
                args.resize(2);
                bytes = 0;
            }
        }
    }
    std::string lengths;
    std::string lists;
    for (size_t i = 0; i < chunk.events.size(); ++i) {
        append_le(lengths, static_cast<std::uint32_t>(chunk.events[i].size()), 4);
        append_le(lists, list_of[i], 2);
    }
    const std::string nkeys = std::to_string(types.size() + 1);
    const std::string length_at_read = std::to_string(chunk.length_at_read);
    const std::string k = std::to_string(chunk.events.size());
    // EVAL, not EVALSHA: a script the server forgot would fail inside the transaction, after
    // the pushes.
    std::vector<std::string_view> eval = {"EVAL", kFinishChunk, nkeys, main_key};
    eval.insert(eval.end(), types.begin(), types.end());
    eval.insert(eval.end(), {from == End::kHead ? "h" : "t", length_at_read, k,
                             chunk.events.front().substr(0, kBoundaryBytes),
                             chunk.events.back().substr(0, kBoundaryBytes), lengths, lists});
    redis_append_argv(c, eval);
    keep_lock_alive();
    const RedisReply answer = exec_answer(c, pushes.size() + 1);
    if (!answer) {
        return false;
    }
    const redisReply* where = answer->element[pushes.size()];
    if (!is_array(where) || where->elements != 2 || !is_integer(where->element[0])) {
        return false;
    }
    placed = {where->element[0]->integer, where->element[1]->integer};
    for (size_t i = 0; placed.position >= 0 && i < pushes.size(); ++i) {
        if (is_error(answer->element[i])) {
            notes.refuse(types[pushes[i].type], pushes[i].events, reply_text(answer->element[i]));
        }
    }
    return true;
}

// Notes the end the producer writes to; the oldest events are at the other.
void learn_producer(End producer, End& from, const std::string& key) {
    if (producer == from) {
        log_msg(LOG_INFO,
                "redistransfer: events arrive at the %s of %s: the oldest are taken from its %s",
                name(from), key.c_str(), name(other(from)));
    }
    producer_end = producer;
    from = other(producer);
}

// Moves the events the main list held when the run began, oldest first, chunk by chunk. Events
// that arrive meanwhile wait for the next run, at either end: arrivals at the end being read show
// as the event expected there gone (between chunks) or as a chunk moved (within one), and the
// run turns to the other end.
int fan_out(redisContext* c, const std::string& main_key) {
    Start start;
    if (!survey(c, main_key, start)) {
        log_msg(LOG_ALERT, "redistransfer: couldn't get key members for %s", main_key.c_str());
        return 1;
    }
    long long n = start.events;
    End from = start.from;
    std::optional<std::string> near = std::move(start.near);
    Notes notes;
    size_t want = kFirstChunkEvents;
    int result = 0;
    for (int misses = 0; n > 0 && !stop_requested;) {
        keep_lock_alive();
        Chunk chunk;
        if (!read_chunk(c, main_key, from, std::min<size_t>(want, n), chunk)) {
            log_msg(LOG_ALERT, "redistransfer: couldn't get key members for %s", main_key.c_str());
            result = 1;
            break;
        }
        if (chunk.events.empty() || stop_requested) {
            break;
        }
        if (near && chunk.events.front() != *near) {
            learn_producer(from, from, main_key);
            near.reset();
            continue;
        }
        Placement placed;
        if (!file_chunk(c, main_key, from, chunk, notes, placed)) {
            result = transaction_failed();
            break;
        }
        near.reset();
        if (placed.position == 0 && chunk.next) {
            near = std::string(*chunk.next);
        }
        if (placed.arrived > 0 && placed.position >= 0) {
            learn_producer(placed.position == 0 ? other(from) : from, from, main_key);
        }
        if (placed.position < 0) {
            if (++misses == kMisses) {
                log_msg(LOG_WARNING,
                        "redistransfer: %s changed at both ends during the run; "
                        "the rest waits for the next run",
                        main_key.c_str());
                break;
            }
            continue;
        }
        misses = 0;
        n -= static_cast<long long>(chunk.events.size());
        want = std::clamp<size_t>(
            kChunkBytes / std::max<size_t>(1, chunk.bytes / chunk.events.size()), 1, kChunkEvents);
    }
    for (const auto& [type, what] : notes.refused) {
        log_msg(LOG_ALERT, "redistransfer: couldn't file %d events under %s: %s", what.first,
                type.c_str(), what.second.c_str());
    }
    if (notes.malformed > 0) {
        log_msg(LOG_WARNING,
                "redistransfer: %d malformed events filed under the empty type. uid=%d",
                notes.malformed, uid());
    }
    return result;
}

}  // namespace

int redistransfer() {
    if (stop_requested) {
        return 0;
    }
    const JobLog log;

    std::string main_key;
    {
        libconfig::Config cfg;
        if (!read_settings_file(cfg, [] {
                log_msg(LOG_ALERT, "redistransfer: I/O error while reading config file. uid=%d",
                        uid());
            })) {
            return 1;
        }
        (void)settings_group(cfg).lookupValue("main_key", main_key);
    }

    RedisContext ctx = redis_connect();
    if (!ctx) {
        log_msg(LOG_ALERT, "redistransfer: Can't allocate Redis context");
        throw std::runtime_error("Redis transfer error: connection failed.");
    }
    if (redis_failed(ctx.get())) {
        log_msg(LOG_ALERT, "redistransfer: Redis error: %s", redis_error(ctx.get()));
        throw std::runtime_error("Redis transfer error: connection failed.");
    }
    redisContext* c = ctx.get();
    if (stop_requested) {
        return 0;
    }

    const RedisReply len = redis_command(c, "LLEN %b", main_key.data(), main_key.size());
    if (!len || redis_failed(c)) {
        log_msg(LOG_ALERT, "redistransfer: couldn't execute LLEN on %s", main_key.c_str());
        return 1;
    }
    if (!is_integer(len.get())) {
        return 1;
    }
    // The count is taken as a signed 32-bit number.
    const int n = static_cast<int>(len->integer);
    return n < 1 ? 0 : fan_out(c, main_key);
}
