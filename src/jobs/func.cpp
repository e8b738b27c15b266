// The event fan-out job: files every event of the main list under the list named by its
// event_type. The backlog moves in chunks taken from the main list's oldest end; each chunk is
// one transaction that files its events and removes them, so a chunk moves whole or not at all
// and nothing the job holds in memory can be lost.
#include "jobs/func.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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

// A chunk holds at most this many events and, unless its first event alone is larger, this many
// bytes: its transaction keeps the server from everyone else for some tens of milliseconds, and
// the job's memory stays that of two chunks (one being filed, the next read meanwhile) whatever
// the backlog and whatever the events' sizes.
constexpr size_t kChunkEvents = 10000;
constexpr size_t kChunkBytes = 8 << 20;
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
// Before the producer's end is known, each end is judged by its first few events, reading on
// past flows up to this many bytes there.
constexpr size_t kSurveyEvents = 8;
constexpr size_t kSurveyBytes = 1 << 20;
// The scripts need Redis 7.0: 6.2 checks each write of a script against a disk error, so a
// chunk's filing could stop halfway, its pushes made and its events still in the main list.
constexpr int kRedisMajor = 7;

enum class End { kHead, kTail };

End other(End e) {
    return e == End::kHead ? End::kTail : End::kHead;
}

const char* name(End e) {
    return e == End::kHead ? "head" : "tail";
}

// The end the engine writes to, as this process last saw it arrive there: the one thing a run
// leaves to the next.
std::optional<End> producer_end;

int uid() {
    return static_cast<int>(getuid());
}

int transaction_failed() {
    log_msg(LOG_ALERT, "redistransfer: transaction failed! uid=%d", uid());
    return -1;
}

// An event as the scripts know it again: its length and first bytes.
struct Boundary {
    long long length = -1;
    std::string head;

    static Boundary of(std::string_view e) {
        return {static_cast<long long>(e.size()), std::string(e.substr(0, kBoundaryBytes))};
    }
    bool matches(std::string_view e) const {
        return static_cast<long long>(e.size()) == length && e.substr(0, head.size()) == head;
    }
};

// One chunk as read, its events oldest first, and the event that followed it; the texts live in
// the reply.
struct Chunk {
    RedisReply reply;
    long long length_at_read = 0;
    std::vector<std::string_view> events;
    std::optional<Boundary> next;
    size_t bytes = 0;
};

// Asks for up to `count` events and `bytes` bytes at end `from`, after the first `skip` there.
void ask_chunk(redisContext* c, const std::string& key, End from, size_t skip, size_t count,
               size_t bytes) {
    const std::string args[] = {std::to_string(skip), std::to_string(count), std::to_string(bytes),
                                std::to_string(kBoundaryBytes)};
    redis_append_argv(c, std::vector<std::string_view>{"EVAL", kReadChunk, "1", key,
                                                       from == End::kHead ? "h" : "t", args[0],
                                                       args[1], args[2], args[3]});
}

// Takes the answer to ask_chunk. False when the connection failed or the main list is not a
// list.
bool take_chunk(redisContext* c, Chunk& chunk) {
    chunk = Chunk{};
    chunk.reply = redis_next_reply(c);
    const redisReply* r = chunk.reply.get();
    if (!is_array(r) || r->elements < 3 || !is_integer(r->element[0]) ||
        !is_integer(r->element[1])) {
        return false;
    }
    chunk.length_at_read = r->element[0]->integer;
    if (r->element[1]->integer >= 0) {
        chunk.next = Boundary{r->element[1]->integer, std::string(reply_text(r->element[2]))};
    }
    for (size_t i = 3; i < r->elements; ++i) {
        chunk.events.push_back(reply_text(r->element[i]));
        chunk.bytes += r->element[i]->len;
    }
    return true;
}

// The newest timestamp among the first few events at one end that carry the moment they were
// written, and the event standing at that end. Flows carry their flow's start, and an engine
// writes many at once when it stops, so they are passed over, reading on while all were flows.
struct EndSample {
    std::int64_t newest = 0;
    std::optional<Boundary> first;
};

bool sample_end(redisContext* c, const std::string& key, End e, EndSample& sample) {
    size_t stamps = 0;
    size_t bytes = 0;
    for (size_t skip = 0, want = kSurveyEvents;; want *= 4) {
        Chunk r;
        ask_chunk(c, key, e, skip, want, kSurveyBytes - bytes);
        if (!take_chunk(c, r)) {
            return false;
        }
        if (skip == 0 && !r.events.empty()) {
            sample.first = Boundary::of(r.events.front());
        }
        for (const std::string_view event : r.events) {
            const std::string type = member_as_string(event, "event_type").text;
            if (type == "flow" || type == "netflow") {
                continue;
            }
            try {
                const std::int64_t stamp = parseISO8601(member_as_string(event, "timestamp").text);
                sample.newest = std::max(sample.newest, stamp);
                ++stamps;
            } catch (const std::exception&) {
            }
        }
        skip += r.events.size();
        bytes += r.bytes;
        if (stamps > 0 || !r.next || bytes >= kSurveyBytes) {
            return true;
        }
    }
}

// Where a run begins: the end where the oldest events are, and the event standing there.
struct Start {
    End from = End::kHead;
    std::optional<Boundary> near;
};

// The oldest end is the one opposite the producer's, once known; before that, the one whose
// events are clearly older by their timestamps; where they do not tell, the head. False when the
// list cannot be read.
bool survey(redisContext* c, const std::string& key, Start& start) {
    if (producer_end) {
        start.from = other(*producer_end);
        return true;
    }
    EndSample head;
    EndSample tail;
    if (!sample_end(c, key, End::kHead, head) || !sample_end(c, key, End::kTail, tail)) {
        return false;
    }
    const bool head_newer =
        head.newest != 0 && tail.newest != 0 && head.newest - tail.newest > kClearlyNewerNs;
    start.from = head_newer ? End::kTail : End::kHead;
    start.near = head_newer ? tail.first : head.first;
    return true;
}

// What a run has to say at its end: the events filed under the empty type, and the events whose
// list's key holds another type, by type in the order first met, with the server's text. Only
// transactions that took place count.
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

// Each event's list: KEYS[2..] of the closing script in the order first met, 1 for the main
// list itself.
struct Sorting {
    std::vector<std::string> types;
    std::vector<std::uint16_t> list_of;
    int malformed = 0;
};

Sorting sort_chunk(const Chunk& chunk, const std::string& main_key) {
    Sorting s;
    std::unordered_map<std::string, std::uint16_t> index;
    s.list_of.reserve(chunk.events.size());
    for (const std::string_view e : chunk.events) {
        JsonField field = member_as_string(e, "event_type");
        if (field.status != FieldStatus::kText) {
            // Unreadable events are filed rather than left to block every later run.
            ++s.malformed;
            field.text.clear();
        }
        if (field.text == main_key) {
            s.list_of.push_back(1);
            continue;
        }
        const auto [it, fresh] = index.emplace(std::move(field.text), s.types.size() + 2);
        if (fresh) {
            s.types.push_back(it->first);
        }
        s.list_of.push_back(it->second);
    }
    return s;
}

void append_le(std::string& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xff);
    }
}

// One LPUSH of a transaction: the type it files, and how many events.
struct Push {
    size_t type;
    int events;
};

// Queues the transaction that files one chunk and removes it from the main list; its answer is
// read with take_filing. `behind_ok`: the producer's end is known, so a chunk found behind
// arrivals may be filed there.
std::vector<Push> ask_filing(redisContext* c, const std::string& main_key, End from,
                             const Chunk& chunk, const Sorting& sorting, bool behind_ok) {
    // The pushes, oldest first, so each list's newest event ends at its head.
    std::vector<std::vector<std::string_view>> members(sorting.types.size());
    for (size_t i = 0; i < chunk.events.size(); ++i) {
        if (sorting.list_of[i] > 1) {
            members[sorting.list_of[i] - 2].push_back(chunk.events[i]);
        }
    }
    std::vector<Push> pushes;
    redis_append(c, "MULTI");
    for (size_t t = 0; t < sorting.types.size(); ++t) {
        std::vector<std::string_view> args = {"LPUSH", sorting.types[t]};
        size_t bytes = 0;
        for (size_t i = 0; i < members[t].size(); ++i) {
            args.push_back(members[t][i]);
            bytes += members[t][i].size();
            if (args.size() - 2 == kPushEvents || bytes >= kPushBytes ||
                i + 1 == members[t].size()) {
                pushes.push_back({t, static_cast<int>(args.size() - 2)});
                redis_send_argv(c, args);
                args.resize(2);
                bytes = 0;
            }
        }
    }
    std::string lengths;
    std::string lists;
    for (size_t i = 0; i < chunk.events.size(); ++i) {
        append_le(lengths, static_cast<std::uint32_t>(chunk.events[i].size()), 4);
        append_le(lists, sorting.list_of[i], 2);
    }
    const std::string nkeys = std::to_string(sorting.types.size() + 1);
    const std::string length_at_read = std::to_string(chunk.length_at_read);
    const std::string k = std::to_string(chunk.events.size());
    const std::string most = std::to_string(behind_ok ? kChunkEvents : 0);
    const std::string room = std::to_string(kChunkBytes);
    // EVAL, not EVALSHA: a script the server forgot would fail inside the transaction, after
    // the pushes.
    std::vector<std::string_view> eval = {"EVAL", kFinishChunk, nkeys, main_key};
    eval.insert(eval.end(), sorting.types.begin(), sorting.types.end());
    eval.insert(eval.end(),
                {from == End::kHead ? "h" : "t", length_at_read, k,
                 chunk.events.front().substr(0, kBoundaryBytes),
                 chunk.events.back().substr(0, kBoundaryBytes), lengths, lists, most, room});
    redis_append_argv(c, eval);
    redis_append(c, "EXEC");
    return pushes;
}

// Where one transaction found its chunk: the closing script's answer.
struct Placement {
    long long position = -1;
    long long arrived = 0;
    bool filed = false;
    long long removed = 0;
};

// Takes the answer to ask_filing, and notes what a filed chunk had to say. False when the
// transaction did not take place (connection lost, writes refused): then nothing changed.
bool take_filing(redisContext* c, const std::vector<Push>& pushes, const Sorting& sorting,
                 Placement& placed, Notes& notes) {
    const size_t queued = pushes.size() + 1;
    const RedisReply answer = redis_exec_reply(c, queued);
    if (!is_array(answer.get()) || answer->elements != queued) {
        return false;
    }
    const redisReply* where = answer->element[pushes.size()];
    if (!is_array(where) || where->elements != 4 ||
        !std::all_of(where->element, where->element + 4, is_integer)) {
        return false;
    }
    placed = {where->element[0]->integer, where->element[1]->integer,
              where->element[2]->integer == 1, where->element[3]->integer};
    if (!placed.filed) {
        return true;
    }
    notes.malformed += sorting.malformed;
    for (size_t i = 0; i < pushes.size(); ++i) {
        if (is_error(answer->element[i])) {
            notes.refuse(sorting.types[pushes[i].type], pushes[i].events,
                         reply_text(answer->element[i]));
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

// Moves the `n` events the main list held when the run began, oldest first, chunk by chunk.
// Events that arrive meanwhile wait for the next run, at either end: arrivals at the end being
// read show as the event expected there gone (when a chunk is read on its own) or as a chunk
// moved, and the run turns to the other end.
//
// Round trips overlap: the read of the next chunk, which skips the chunk in hand, goes to the
// server before that chunk's transaction, and as soon as its answer is in, the read of the chunk
// after it follows, to run after the transaction. The server so reads and files by turns without
// waiting for the job, and the job sorts one chunk while the server files the one before. A read
// stands only when the transaction that runs between it and its own one removed its chunk at the
// read end (nothing arrived there since); its length at the read is then corrected by what that
// transaction removed. Otherwise every read on its way is dropped, and reading starts afresh.
int fan_out(redisContext* c, const std::string& main_key, long long n) {
    Start start;
    if (!survey(c, main_key, start)) {
        log_msg(LOG_ALERT, "redistransfer: couldn't get key members for %s", main_key.c_str());
        return 1;
    }
    End from = start.from;
    std::optional<Boundary> near = std::move(start.near);
    Notes notes;
    Chunk chunk;  // read and sorted, not yet filed; no events when none is at hand
    Sorting sorting;
    bool asked = false;  // the chunk after it is asked for, to be read before its transaction
    int result = 0;
    // Whether a read after `held`, of the `left` events less it, may be held with it.
    const auto read_on = [](const Chunk& held, long long left) {
        return left > static_cast<long long>(held.events.size()) && held.bytes <= kChunkBytes;
    };
    for (int misses = 0; n > 0 && !stop_requested;) {
        keep_lock_alive();
        if (chunk.events.empty()) {
            ask_chunk(c, main_key, from, 0, std::min<size_t>(kChunkEvents, n), kChunkBytes);
            if (!take_chunk(c, chunk)) {
                log_msg(LOG_ALERT, "redistransfer: couldn't get key members for %s",
                        main_key.c_str());
                result = 1;
                break;
            }
            if (chunk.events.empty() || stop_requested) {
                break;
            }
            if (near && !near->matches(chunk.events.front())) {
                learn_producer(from, from, main_key);
                near.reset();
                chunk = Chunk{};
                continue;
            }
            sorting = sort_chunk(chunk, main_key);
            asked = false;
        }
        near.reset();
        const size_t k = chunk.events.size();
        if (!asked && read_on(chunk, n)) {
            ask_chunk(c, main_key, from, k, std::min<size_t>(kChunkEvents, n - k), kChunkBytes);
            asked = true;
        }
        const std::vector<Push> pushes =
            ask_filing(c, main_key, from, chunk, sorting, producer_end.has_value());
        const std::optional<Boundary> next = std::move(chunk.next);
        chunk = Chunk{};  // its events are sent; what of the transaction is queued is a copy
        Chunk after;
        Sorting after_sorting;
        bool asked_after = false;
        if (asked && take_chunk(c, after) && !after.events.empty()) {
            const size_t k2 = after.events.size();
            if (read_on(after, n - static_cast<long long>(k))) {
                ask_chunk(c, main_key, from, k2, std::min<size_t>(kChunkEvents, n - k - k2),
                          kChunkBytes);
                asked_after = redis_flush(c);
            }
            after_sorting = sort_chunk(after, main_key);
        }
        Placement placed;
        if (!take_filing(c, pushes, sorting, placed, notes)) {
            result = transaction_failed();
            break;
        }
        if (placed.position > 0) {
            learn_producer(from, from, main_key);
        } else if (placed.position == 0 && placed.arrived > 0) {
            learn_producer(other(from), from, main_key);
        }
        const bool adopt = placed.filed && placed.position == 0 && !after.events.empty();
        if (asked_after && !adopt) {
            Chunk dropped;
            take_chunk(c, dropped);
        }
        if (!placed.filed) {
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
        n -= static_cast<long long>(k);
        if (adopt) {
            after.length_at_read -= placed.removed;
            chunk = std::move(after);
            sorting = std::move(after_sorting);
            asked = asked_after;
        } else if (placed.position == 0) {
            near = next;
        }
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
    // An older server is told once per run and left alone; one whose version cannot be read
    // (INFO renamed away) is taken to be recent enough.
    const std::string version = redis_version(c);
    if (!version.empty() && std::atoi(version.c_str()) < kRedisMajor) {
        log_msg(LOG_ALERT,
                "redistransfer: Redis %s is too old: the fan-out needs 7.0 or later, "
                "no event moves",
                version.c_str());
        return 1;
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
    return n < 1 ? 0 : fan_out(c, main_key, n);
}
