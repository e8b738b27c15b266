// Ownership of hiredis handles: every context and reply is freed exactly once, on every path,
// exceptions included.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdarg>
#include <memory>

struct RedisContextFree {
    void operator()(redisContext* c) const { redisFree(c); }
};
struct RedisReplyFree {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using RedisContext = std::unique_ptr<redisContext, RedisContextFree>;
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

// The one Redis server this program talks to.
constexpr const char* kRedisHost = "127.0.0.1";
constexpr int kRedisPort = 6379;

// Connects to the server without a time-out. The result is null when no context could be
// allocated; otherwise the caller checks its err flag.
inline RedisContext redis_connect() {
    return RedisContext(redisConnect(kRedisHost, kRedisPort));
}

// Sends one command and waits for its reply; null means the connection failed.
inline RedisReply redis_command(redisContext* c, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    void* r = redisvCommand(c, fmt, ap);
    va_end(ap);
    return RedisReply(static_cast<redisReply*>(r));
}

// Reads the next reply of a pipeline; null when the connection failed.
inline RedisReply redis_next_reply(redisContext* c) {
    void* r = nullptr;
    if (redisGetReply(c, &r) != REDIS_OK) {
        freeReplyObject(r);
        return nullptr;
    }
    return RedisReply(static_cast<redisReply*>(r));
}
