// The one place that knows hiredis: connecting, sending commands one at a time or pipelined,
// and the checks every reply goes through. Every context and reply is owned from the moment it
// exists and freed exactly once, exceptions included.
#pragma once

#include <hiredis/hiredis.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct RedisContextFree {
    void operator()(redisContext* c) const { redisFree(c); }
};
struct RedisReplyFree {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using RedisContext = std::unique_ptr<redisContext, RedisContextFree>;
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

// Connects to the one server this program talks to, 127.0.0.1:6379, without a time-out. Null
// when no context could be allocated; otherwise check redis_failed.
RedisContext redis_connect();

// Whether the connection has failed; a failed context is never used again. Its error text.
bool redis_failed(const redisContext* c);
const char* redis_error(const redisContext* c);

// Sends one command and waits for its reply; null means the connection failed. Texts that may
// hold any byte go with %b and their length.
RedisReply redis_command(redisContext* c, const char* fmt, ...);

// Pipelining: commands are queued in the connection's output buffer, sent with redis_flush (or
// by the first redis_next_reply), and their replies read in order. False when the connection
// failed.
bool redis_append(redisContext* c, const char* fmt, ...);
bool redis_append_argv(redisContext* c, const std::vector<std::string_view>& args);
bool redis_append_argv(redisContext* c, const std::vector<std::string>& args);
bool redis_flush(redisContext* c);
// Sends one command at once, after what is queued, writing its texts straight from where they
// lie: queueing copies a command into the output buffer, and a command of many megabytes would
// then be held twice. Its reply is read like a queued command's.
bool redis_send_argv(redisContext* c, const std::vector<std::string_view>& args);
// The next reply. The reader's buffer, grown to hold a large one, is given back right away.
RedisReply redis_next_reply(redisContext* c);
// Ends a transaction whose MULTI and `queued` commands were appended: appends EXEC, reads past
// their answers and returns EXEC's own (an array; nil when a watched key changed; an error when
// the server refused the transaction). Null when the connection failed.
RedisReply redis_exec(redisContext* c, size_t queued);
// The same with DISCARD: nothing queued takes effect, and the watch ends.
RedisReply redis_discard(redisContext* c, size_t queued);
// The same for a transaction whose EXEC was appended already, answered after other commands
// that were appended before its MULTI.
RedisReply redis_exec_reply(redisContext* c, size_t queued);

// The server's version ("7.0.15", from INFO server); empty when it cannot be read.
std::string redis_version(redisContext* c);

// Reply checks, in the one order that matters: missing, then type, then content.
bool is_integer(const redisReply* r);
bool is_array(const redisReply* r);
bool is_error(const redisReply* r);
bool is_ok_status(const redisReply* r);  // the status text "OK", compared whole
std::string_view reply_text(const redisReply* r);
