// Connections, commands and pipelines over hiredis's blocking API.
#include "redis/redis.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kRedisHost = "127.0.0.1";
constexpr int kRedisPort = 6379;

// hiredis takes arguments as parallel arrays of pointers and lengths.
struct Argv {
    std::vector<const char*> ptrs;
    std::vector<size_t> lens;
    explicit Argv(const std::vector<std::string_view>& args) {
        ptrs.reserve(args.size());
        lens.reserve(args.size());
        for (const std::string_view a : args) {
            ptrs.push_back(a.data());
            lens.push_back(a.size());
        }
    }
    int count() const { return static_cast<int>(ptrs.size()); }
};

// Marks the connection failed the way hiredis does, so every later call on it fails at once.
void fail_io(redisContext* c) {
    c->err = REDIS_ERR_IO;
    std::snprintf(c->errstr, sizeof c->errstr, "%s", std::strerror(errno));
}

}  // namespace

RedisContext redis_connect() {
    return RedisContext(redisConnect(kRedisHost, kRedisPort));
}

bool redis_failed(const redisContext* c) {
    return c->err != 0;
}

const char* redis_error(const redisContext* c) {
    return c->errstr;
}

RedisReply redis_command(redisContext* c, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    void* r = redisvCommand(c, fmt, ap);
    va_end(ap);
    return RedisReply(static_cast<redisReply*>(r));
}

bool redis_append(redisContext* c, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int status = redisvAppendCommand(c, fmt, ap);
    va_end(ap);
    return status == REDIS_OK;
}

bool redis_append_argv(redisContext* c, const std::vector<std::string_view>& args) {
    Argv argv(args);
    return redisAppendCommandArgv(c, argv.count(), argv.ptrs.data(), argv.lens.data()) == REDIS_OK;
}

bool redis_append_argv(redisContext* c, const std::vector<std::string>& args) {
    return redis_append_argv(c, std::vector<std::string_view>(args.begin(), args.end()));
}

bool redis_flush(redisContext* c) {
    int done = 0;
    while (!done) {
        if (redisBufferWrite(c, &done) != REDIS_OK) {
            return false;
        }
    }
    return true;
}

bool redis_send_argv(redisContext* c, const std::vector<std::string_view>& args) {
    if (!redis_flush(c)) {
        return false;
    }
    // The protocol's framing around each text, "*N\r\n$len\r\n" before the first, "\r\n$len\r\n"
    // before the others and "\r\n" after the last, all in one string that no longer moves once
    // the pieces point into it.
    std::string frames = "*" + std::to_string(args.size());
    std::vector<size_t> ends;
    for (const std::string_view a : args) {
        frames += "\r\n$" + std::to_string(a.size()) + "\r\n";
        ends.push_back(frames.size());
    }
    frames += "\r\n";
    std::vector<iovec> pieces;
    size_t from = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        pieces.push_back({frames.data() + from, ends[i] - from});
        pieces.push_back({const_cast<char*>(args[i].data()), args[i].size()});
        from = ends[i];
    }
    pieces.push_back({frames.data() + from, frames.size() - from});
    for (size_t at = 0; at < pieces.size();) {
        const int count = static_cast<int>(std::min<size_t>(pieces.size() - at, IOV_MAX));
        const ssize_t written = writev(c->fd, pieces.data() + at, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_io(c);
            return false;
        }
        size_t done = static_cast<size_t>(written);
        while (at < pieces.size() && done >= pieces[at].iov_len) {
            done -= pieces[at].iov_len;
            ++at;
        }
        if (done > 0) {
            pieces[at].iov_base = static_cast<char*>(pieces[at].iov_base) + done;
            pieces[at].iov_len -= done;
        }
    }
    return true;
}

RedisReply redis_next_reply(redisContext* c) {
    void* r = nullptr;
    if (redisGetReply(c, &r) != REDIS_OK) {
        freeReplyObject(r);
        return nullptr;
    }
    // hiredis gives back a read buffer that grew past its bound only once the buffer is empty
    // when it next reads, so a large reply would be held twice meanwhile, in the buffer and in the
    // reply. The reader, between replies now, is replaced by a fresh one fed with what it had not
    // parsed yet.
    redisReader* reader = c->reader;
    const size_t unread = reader->len - reader->pos;
    if (sdsalloc(reader->buf) > reader->maxbuf && unread <= reader->maxbuf) {
        redisReader* fresh = redisReaderCreate();
        if (fresh != nullptr &&
            redisReaderFeed(fresh, reader->buf + reader->pos, unread) == REDIS_OK) {
            redisReaderFree(reader);
            c->reader = fresh;
        } else if (fresh != nullptr) {
            redisReaderFree(fresh);
        }
    }
    return RedisReply(static_cast<redisReply*>(r));
}

RedisReply redis_exec(redisContext* c, size_t queued) {
    redis_append(c, "EXEC");
    return redis_exec_reply(c, queued);
}

RedisReply redis_discard(redisContext* c, size_t queued) {
    redis_append(c, "DISCARD");
    return redis_exec_reply(c, queued);
}

RedisReply redis_exec_reply(redisContext* c, size_t queued) {
    for (size_t i = 0; i <= queued; ++i) {  // MULTI's status, then one QUEUED each
        if (!redis_next_reply(c)) {
            return nullptr;
        }
    }
    return redis_next_reply(c);
}

std::string redis_version(redisContext* c) {
    const RedisReply info = redis_command(c, "INFO server");
    const std::string_view text =
        info && info->type == REDIS_REPLY_STRING ? reply_text(info.get()) : std::string_view();
    constexpr std::string_view kField = "\nredis_version:";
    const size_t at = text.find(kField);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = text.substr(at + kField.size());
    return std::string(rest.substr(0, rest.find_first_of("\r\n")));
}

bool is_integer(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_INTEGER;
}

bool is_array(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_ARRAY;
}

bool is_error(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_ERROR;
}

bool is_ok_status(const redisReply* r) {
    return r != nullptr && r->type == REDIS_REPLY_STATUS && r->len == 2 &&
           std::memcmp(r->str, "OK", 2) == 0;
}

std::string_view reply_text(const redisReply* r) {
    return r != nullptr && r->str != nullptr ? std::string_view(r->str, r->len)
                                             : std::string_view();
}
