// The event fan-out job: files every event of the main list under the list named by its
// event_type, pushes and removals committed together in one transaction.
#include "jobs/func.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/settings.h"
#include "base/signals.h"
#include "jobs/jsonfield.h"
#include "redis/lockkeeper.h"
#include "redis/redis.h"

namespace {

// A chunk is handed to the connection when it holds this many commands or bytes.
constexpr size_t kChunkCommands = 1000;
constexpr size_t kChunkBytes = 1 << 20;

int uid() {
    return static_cast<int>(getuid());
}

std::string_view text_of(const redisReply* r) {
    return {r->str, r->len};
}

// One event and the list it goes to.
struct Filing {
    std::string_view event;
    std::string type;
    // The type is the main list's own name: the event goes back to the main list's tail after
    // the removal, since a push onto its head would be popped again by the removal.
    bool to_main_tail = false;
};

// Takes an event's type. An event whose type cannot be read is filed under the empty type
// rather than failing the run: otherwise it would stay at the head and block every later run.
Filing classify(std::string_view event, const std::string& main_key, int& malformed) {
    Filing f;
    f.event = event;
    JsonField field = member_as_string(event, "event_type");
    if (field.status == FieldStatus::kText) {
        f.type = std::move(field.text);
    } else {
        ++malformed;
    }
    f.to_main_tail = f.type == main_key;
    return f;
}

// Commands go out in chunks, in the protocol's wire form, each chunk formatted once and handed
// over whole; after a chunk is sent the replies due before it are read, so the server works
// through one chunk while the next one is parsed and formatted.
struct Pipeline {
    redisContext* c = nullptr;
    std::string chunk;  // formatted commands not yet handed to the connection
    size_t chunk_commands = 0;
    size_t pending = 0;    // replies due and not read yet
    bool refused = false;  // a queued command got an error reply
    // While the snapshot still streams in, the replies of queued commands wait behind it: chunks
    // are sent, and their replies read once the snapshot has been read whole.
    bool hold = false;
    // The lock's bracket around the transaction (see begin and exec): the hold's result comes
    // before the queued commands' results, the refresh's after them.
    LockBracket bracket;
};

void append_number(std::string& out, size_t n) {
    char buf[24];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, r.ptr);
}

// Every argument goes with its length, so texts and keys may hold any byte.
template <typename Args>
void queue_args(Pipeline& p, const Args& args) {
    p.chunk += '*';
    append_number(p.chunk, args.size());
    p.chunk += "\r\n";
    for (const std::string_view a : args) {
        p.chunk += '$';
        append_number(p.chunk, a.size());
        p.chunk += "\r\n";
        p.chunk.append(a.data(), a.size());
        p.chunk += "\r\n";
    }
    ++p.chunk_commands;
}

void queue(Pipeline& p, std::initializer_list<std::string_view> args) {
    queue_args(p, args);
}

// Reads n replies; false when the connection failed. An error reply is noted, not fatal here:
// the caller sees it in `refused` (and, inside a transaction, in EXEC's answer).
bool read_replies(Pipeline& p, size_t n) {
    for (; n > 0; --n) {
        // A large run's replies can take longer than the lock's lifetime to read.
        keep_lock_alive();
        RedisReply r = redis_next_reply(p.c);
        if (!r) {
            return false;
        }
        if (r->type == REDIS_REPLY_ERROR) {
            p.refused = true;
        }
    }
    return true;
}

// Sends the current chunk whole, then reads the replies due before it (unless held).
bool ship(Pipeline& p) {
    if (p.chunk_commands > 0) {
        if (redisAppendFormattedCommand(p.c, p.chunk.data(), p.chunk.size()) != REDIS_OK) {
            return false;
        }
        int done = 0;
        while (!done) {
            if (redisBufferWrite(p.c, &done) != REDIS_OK) {
                return false;
            }
        }
    }
    p.chunk.clear();
    // A large run can outlast the cycle lock's lifetime; the lock is extended as chunks go out.
    keep_lock_alive();
    const size_t due = p.hold ? 0 : p.pending;
    p.pending = p.pending - due + p.chunk_commands;
    p.chunk_commands = 0;
    return read_replies(p, due);
}

bool ship_if_full(Pipeline& p) {
    if (p.chunk_commands < kChunkCommands && p.chunk.size() < kChunkBytes) {
        return true;
    }
    return ship(p);
}

// Sends what is queued and reads every reply still due.
bool settle(Pipeline& p) {
    if (!ship(p)) {
        return false;
    }
    const size_t due = p.pending;
    p.pending = 0;
    return read_replies(p, due);
}

// Reads the next reply in pieces as they arrive, extending the lock between them: the answer to
// a large transaction takes a while to come in whole. Null when the connection failed.
RedisReply next_reply_keeping_lock(redisContext* c) {
    void* r = nullptr;
    while (r == nullptr) {
        if (redisReaderGetReply(c->reader, &r) != REDIS_OK) {
            c->err = c->reader->err;
            std::snprintf(c->errstr, sizeof c->errstr, "%s", c->reader->errstr);
            return nullptr;
        }
        if (r == nullptr) {
            if (redisBufferRead(c) != REDIS_OK) {
                return nullptr;
            }
            keep_lock_alive();
        }
    }
    return RedisReply(static_cast<redisReply*>(r));
}

// Opens the transaction. While the server runs a large transaction nothing else reaches it, and
// the lock could expire under it: the lock's hold comes first in it.
void begin(Pipeline& p) {
    queue(p, {"MULTI"});
    p.bracket = lock_bracket();
    if (!p.bracket.empty()) {
        queue_args(p, p.bracket.hold);
    }
}

// The result of the i-th command queued after begin.
const redisReply* result(const Pipeline& p, const redisReply* answer, size_t i) {
    return answer->element[i + (p.bracket.empty() ? 0 : 1)];
}

// Queues the lock's refresh as the transaction's last command and EXEC, reads the replies before
// it and returns its own; null when the connection failed.
RedisReply exec(Pipeline& p) {
    if (!p.bracket.empty()) {
        queue_args(p, p.bracket.refresh);
    }
    queue(p, {"EXEC"});
    if (!ship(p)) {
        return nullptr;
    }
    const size_t due = p.pending - 1;
    p.pending = 0;
    if (!read_replies(p, due)) {
        return nullptr;
    }
    RedisReply answer = next_reply_keeping_lock(p.c);
    if (!p.bracket.empty() && answer && answer->type == REDIS_REPLY_ARRAY && answer->elements > 0) {
        lock_refresh_answered(answer->element[answer->elements - 1]);
    }
    return answer;
}

// Ends an open transaction without effect; nothing queued since MULTI takes place.
void discard(Pipeline& p) {
    if (p.c->err) {
        return;
    }
    queue(p, {"DISCARD"});
    (void)settle(p);
}

int transaction_failed() {
    log_msg(LOG_ALERT, "redistransfer: transaction failed! uid=%d", uid());
    return -1;
}

// Whether EXEC committed: an array answer, one result per queued command and the bracket's two.
bool committed(const Pipeline& p, const redisReply* r, size_t queued) {
    return r != nullptr && r->type == REDIS_REPLY_ARRAY &&
           r->elements == queued + (p.bracket.empty() ? 0 : 2);
}

// Queues one filing: onto the head of the type's list, or for the main list's own type onto
// the main list's tail.
void queue_filing(Pipeline& p, const std::string& main_key, const Filing& f) {
    if (f.to_main_tail) {
        queue(p, {"RPUSH", main_key, f.event});
    } else {
        queue(p, {"LPUSH", f.type, f.event});
    }
}

// A run's filings that the server refused (the type's key holds another kind of value), by
// type in the order first met, with the server's first error text for each.
struct Refusals {
    std::vector<std::string_view> events;
    std::vector<std::pair<std::string, std::pair<int, std::string>>> by_type;
    std::unordered_map<std::string, size_t> index;

    void add(const Filing& f, const redisReply* error) {
        events.push_back(f.event);
        auto [it, fresh] = index.emplace(f.type, by_type.size());
        if (fresh) {
            by_type.push_back({f.type, {0, std::string(text_of(error))}});
        }
        ++by_type[it->second].second.first;
    }
};

// Notes every filing whose result in EXEC's answer is an error; each filing comes with the
// position of its command in the transaction.
void collect_refusals(const Pipeline& p, const redisReply* answer,
                      const std::vector<std::pair<size_t, const Filing*>>& order,
                      Refusals& refusals) {
    for (const auto& [slot, filing] : order) {
        const redisReply* r = result(p, answer, slot);
        if (r->type == REDIS_REPLY_ERROR) {
            refusals.add(*filing, r);
        }
    }
}

// Puts refused events back at the main list's tail, where the next run meets them again.
bool put_back(redisContext* c, const std::string& main_key,
              const std::vector<std::string_view>& events) {
    Pipeline p;
    p.c = c;
    for (const std::string_view e : events) {
        queue(p, {"RPUSH", main_key, e});
        if (!ship_if_full(p)) {
            return false;
        }
    }
    return settle(p) && !p.refused;
}

// The elements popped and the snapshot as multisets: `arrived` gets the popped elements the
// snapshot lacks (head first), `left` the snapshot elements that were not popped.
void compare_multisets(const std::vector<std::string_view>& snapshot,
                       const std::vector<std::string_view>& popped,
                       std::vector<std::string_view>& arrived,
                       std::vector<std::string_view>& left) {
    if (snapshot == popped) {
        return;
    }
    std::unordered_map<std::string_view, size_t> count;
    count.reserve(snapshot.size());
    for (const std::string_view e : snapshot) {
        ++count[e];
    }
    for (const std::string_view e : popped) {
        auto it = count.find(e);
        if (it != count.end() && it->second > 0) {
            --it->second;
        } else {
            arrived.push_back(e);
        }
    }
    for (const std::string_view e : snapshot) {
        auto it = count.find(e);
        if (it->second > 0) {
            --it->second;
            left.push_back(e);
        }
    }
}

// The second transaction, for events that were inserted at the head during the run: the removal
// took them instead of filed ones. Files them, and removes the filed ones that were left
// behind. Returns false when it did not commit.
bool file_head_arrivals(redisContext* c, const std::string& main_key,
                        const std::vector<std::string_view>& arrived,
                        const std::vector<std::string_view>& left, int& malformed,
                        Refusals& refusals) {
    std::vector<Filing> filings;
    filings.reserve(arrived.size());
    // Head first means newest first: file the oldest first, as the main list's order has it.
    for (auto it = arrived.rbegin(); it != arrived.rend(); ++it) {
        filings.push_back(classify(*it, main_key, malformed));
    }
    Pipeline p;
    p.c = c;
    begin(p);
    std::vector<std::pair<size_t, const Filing*>> order;
    for (const Filing& f : filings) {
        order.emplace_back(order.size(), &f);
        queue_filing(p, main_key, f);
        if (!ship_if_full(p)) {
            return false;
        }
    }
    // The filed events left behind are the last of the snapshot: with a producer at the head
    // they are the main list's tail, so each is searched from the tail, the last one first.
    // Searched from the head, every removal would first pass everything that arrived since.
    for (auto it = left.rbegin(); it != left.rend(); ++it) {
        queue(p, {"LREM", main_key, "-1", *it});
        if (!ship_if_full(p)) {
            return false;
        }
    }
    RedisReply answer = exec(p);
    if (!committed(p, answer.get(), filings.size() + left.size())) {
        return false;
    }
    // An LREM that removed nothing means another client took the element: nothing to do.
    collect_refusals(p, answer.get(), order, refusals);
    return true;
}

// The LRANGE reply, read straight from the socket as it streams in, so that filing starts while
// the server is still sending the snapshot. The element texts stay where they were read, in
// blocks that live as long as the run, so the snapshot costs its own size once.
struct Snapshot {
    redisContext* c = nullptr;
    std::vector<std::unique_ptr<char[]>> blocks;
    char* buf = nullptr;  // the current block
    size_t cap = 0;
    size_t len = 0;        // bytes read into it
    size_t pos = 0;        // bytes parsed
    long long count = -1;  // elements in the reply, -1 until the header is read
    long long taken = 0;
    bool broken = false;  // connection lost or not the protocol
};

constexpr size_t kBlockBytes = 4 << 20;
constexpr size_t kMinRead = 256 << 10;

// Moves the unparsed bytes into a fresh block that holds at least `need` of them, when the
// current block cannot; the parsed bytes stay where they are, still referred to.
void make_room(Snapshot& s, size_t need) {
    if (s.cap - s.pos >= need) {
        return;
    }
    const size_t cap = std::max(kBlockBytes, need);
    std::unique_ptr<char[]> block(new char[cap]);
    if (s.len > s.pos) {
        std::memcpy(block.get(), s.buf + s.pos, s.len - s.pos);
    }
    s.len -= s.pos;
    s.pos = 0;
    s.buf = block.get();
    s.cap = cap;
    s.blocks.push_back(std::move(block));
}

// Reads until `need` unparsed bytes are there; false when the connection ended first.
bool read_until(Snapshot& s, size_t need) {
    while (s.len - s.pos < need) {
        make_room(s, std::max(need, s.len - s.pos + kMinRead));
        const ssize_t n = recv(s.c->fd, s.buf + s.len, s.cap - s.len, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            s.broken = true;
            return false;
        }
        s.len += static_cast<size_t>(n);
    }
    return true;
}

// Reads one protocol line ("<type><text>\r\n") and returns its text after the type byte.
bool read_line(Snapshot& s, char& type, std::string_view& text) {
    size_t scanned = 0;
    for (;;) {
        const char* start = s.buf + s.pos;
        const size_t unscanned = s.len - s.pos - scanned;
        const void* cr = unscanned > 0 ? std::memchr(start + scanned, '\r', unscanned) : nullptr;
        if (cr != nullptr) {
            const size_t at = static_cast<size_t>(static_cast<const char*>(cr) - start);
            if (!read_until(s, at + 2)) {
                return false;
            }
            start = s.buf + s.pos;
            if (at == 0 || start[at + 1] != '\n') {
                s.broken = true;
                return false;
            }
            type = start[0];
            text = std::string_view(start + 1, at - 1);
            s.pos += at + 2;
            return true;
        }
        scanned = s.len - s.pos;
        if (scanned > 64 * 1024) {  // no header or length line is that long
            s.broken = true;
            return false;
        }
        if (!read_until(s, scanned + 1)) {
            return false;
        }
    }
}

bool parse_count(std::string_view text, long long& out) {
    const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// Sends the LRANGE and reads its header. False when the reply is not an array (an error reply
// is read whole, so the connection stays in step) or the connection failed.
bool start_snapshot(Snapshot& s, const std::string& main_key, int last) {
    if (redisAppendCommand(s.c, "LRANGE %b 0 %d", main_key.data(), main_key.size(), last) !=
        REDIS_OK) {
        return false;
    }
    int done = 0;
    while (!done) {
        if (redisBufferWrite(s.c, &done) != REDIS_OK) {
            return false;
        }
    }
    char type = 0;
    std::string_view text;
    if (!read_line(s, type, text) || type != '*' || !parse_count(text, s.count) || s.count < 0) {
        s.count = 0;
        return false;
    }
    return true;
}

// The next element of the snapshot; false at its end or when the connection failed.
bool next_event(Snapshot& s, std::string_view& event) {
    if (s.taken >= s.count || s.broken) {
        return false;
    }
    char type = 0;
    std::string_view text;
    long long size = 0;
    if (!read_line(s, type, text) || type != '$' || !parse_count(text, size) || size < 0) {
        s.broken = true;
        return false;
    }
    const size_t n = static_cast<size_t>(size);
    make_room(s, n + 2);
    if (!read_until(s, n + 2)) {
        return false;
    }
    event = std::string_view(s.buf + s.pos, n);
    s.pos += n + 2;
    ++s.taken;
    return true;
}

// Reads the rest of the snapshot, then hands the bytes read beyond it (replies of queued
// commands) to the client library, which reads everything from here on.
bool finish_snapshot(Snapshot& s, std::vector<std::string_view>* events) {
    std::string_view e;
    while (next_event(s, e)) {
        if (events != nullptr) {
            events->push_back(e);
        }
    }
    if (s.broken) {
        return false;
    }
    if (s.len > s.pos && redisReaderFeed(s.c->reader, s.buf + s.pos, s.len - s.pos) != REDIS_OK) {
        return false;
    }
    s.pos = s.len;
    return true;
}

// Ends the transaction on a stop: DISCARD once the connection is back in step.
int stop_run(Pipeline& p, Snapshot& s) {
    if (finish_snapshot(s, nullptr)) {
        p.hold = false;
        discard(p);
    }
    return 0;
}

// Steps from MULTI on, over the snapshot's events as they arrive.
int fan_out(redisContext* c, const std::string& main_key, Snapshot& snap) {
    int malformed = 0;
    std::vector<std::string_view> events;
    events.reserve(static_cast<size_t>(snap.count));
    std::vector<Filing> filings;
    filings.reserve(static_cast<size_t>(snap.count));
    Pipeline p;
    p.c = c;
    p.hold = true;
    RedisReply answer;
    std::vector<std::pair<size_t, const Filing*>> order;
    try {
        begin(p);
        std::string_view e;
        while (snap.taken < snap.count) {
            if (stop_requested) {
                return stop_run(p, snap);
            }
            if (!next_event(snap, e)) {
                throw std::runtime_error("connection lost");
            }
            events.push_back(e);
            filings.push_back(classify(e, main_key, malformed));
            if (!filings.back().to_main_tail) {
                order.emplace_back(order.size(), &filings.back());
                queue_filing(p, main_key, filings.back());
                if (!ship_if_full(p)) {
                    throw std::runtime_error("connection lost");
                }
            }
        }
        if (!finish_snapshot(snap, nullptr)) {
            throw std::runtime_error("connection lost");
        }
        p.hold = false;
        if (stop_requested) {
            discard(p);
            return 0;
        }
        const size_t pushes = order.size();
        queue(p, {"LPOP", main_key, std::to_string(events.size())});
        for (const Filing& f : filings) {
            if (!f.to_main_tail) {
                continue;
            }
            if (stop_requested) {
                discard(p);
                return 0;
            }
            order.emplace_back(order.size() + 1, &f);
            queue_filing(p, main_key, f);
            if (!ship_if_full(p)) {
                throw std::runtime_error("connection lost");
            }
        }
        if (stop_requested) {
            discard(p);
            return 0;
        }
        answer = exec(p);
        if (!committed(p, answer.get(), filings.size() + 1)) {
            return transaction_failed();
        }
        Refusals refusals;
        collect_refusals(p, answer.get(), order, refusals);

        // The removal's result: the elements it took, head first (nil when the list had gone).
        std::vector<std::string_view> popped;
        const redisReply* removal = result(p, answer.get(), pushes);
        if (removal->type == REDIS_REPLY_ARRAY) {
            popped.reserve(removal->elements);
            for (size_t i = 0; i < removal->elements; ++i) {
                popped.push_back(text_of(removal->element[i]));
            }
        }
        std::vector<std::string_view> arrived;
        std::vector<std::string_view> left;
        compare_multisets(events, popped, arrived, left);

        // From here on nothing checks the stop flag: the first transaction has taken place, and
        // what follows repairs it.
        int result = 0;
        if (!arrived.empty() || !left.empty()) {
            if (!file_head_arrivals(c, main_key, arrived, left, malformed, refusals)) {
                result = transaction_failed();
            } else if (!arrived.empty()) {
                log_msg(LOG_INFO,
                        "redistransfer: %d events arrived at the head of %s during the run and "
                        "were filed too",
                        static_cast<int>(arrived.size()), main_key.c_str());
            }
        }
        if (!refusals.events.empty()) {
            if (!put_back(c, main_key, refusals.events)) {
                result = transaction_failed();
            }
            for (const auto& [type, what] : refusals.by_type) {
                log_msg(LOG_ALERT, "redistransfer: couldn't file %d events under %s: %s",
                        what.first, type.c_str(), what.second.c_str());
            }
        }
        if (malformed > 0) {
            log_msg(LOG_WARNING,
                    "redistransfer: %d malformed events filed under the empty type. uid=%d",
                    malformed, uid());
        }
        return result;
    } catch (const std::exception&) {
        if (!answer && !c->err && finish_snapshot(snap, nullptr)) {
            p.hold = false;
            discard(p);
        }
        return transaction_failed();
    }
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
    if (ctx->err) {
        log_msg(LOG_ALERT, "redistransfer: Redis error: %s", ctx->errstr);
        ctx.reset();
        throw std::runtime_error("Redis transfer error: connection failed.");
    }
    redisContext* c = ctx.get();
    if (stop_requested) {
        return 0;
    }

    RedisReply len = redis_command(c, "LLEN %b", main_key.data(), main_key.size());
    if (!len || c->err) {
        log_msg(LOG_ALERT, "redistransfer: couldn't execute LLEN on %s", main_key.c_str());
        return 1;
    }
    if (len->type != REDIS_REPLY_INTEGER) {
        return 1;
    }
    // The count is taken as a signed 32-bit number.
    const int n = static_cast<int>(len->integer);
    len.reset();
    if (n < 1) {
        return 0;
    }

    // The snapshot holds at most n elements, fewer when the list shrank since LLEN: only what
    // it holds is filed and removed.
    Snapshot snap;
    snap.c = c;
    if (!start_snapshot(snap, main_key, n - 1)) {
        log_msg(LOG_ALERT, "redistransfer: couldn't get key members for %s", main_key.c_str());
        return 1;
    }
    if (snap.count == 0) {
        return 0;
    }
    return fan_out(c, main_key, snap);
}
