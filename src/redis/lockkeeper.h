// Keeping the cycle lock alive while a batch runs. A batch can outlast the lock's lifetime (a
// large backlog); if the key expired then, a second daemon would start a batch beside this one.
// The loop's lock connection is idle while the jobs run, so the jobs call keep_lock_alive() as
// they work and the lock's lifetime is extended on that connection every third of it.
#pragma once

#include <hiredis/hiredis.h>

#include <string>
#include <vector>

// From here until end_lock_keeping(), keep_lock_alive() refreshes the lock `key`, held by this
// process, on connection c. `prefix` begins the message of a lost lock.
void begin_lock_keeping(const char* prefix, redisContext* c, const std::string& key,
                        int lifetime_seconds);
void end_lock_keeping();

// Refreshes the lock when a third of its lifetime has passed since the last refresh (at once
// with force). Cheap enough to call per chunk of work; does nothing outside a batch. Logs
// "<prefix>: lock %s was lost during the batch" once per batch if the lock is found gone or held
// by another, and stops there. An error answer (a busy script, a disk error) loses nothing: it is
// logged once and the refresh is tried again shortly.
void keep_lock_alive(bool force = false);

// A long transaction blocks the server while it runs, and no refresh can reach the server
// meanwhile. Such a transaction is bracketed: `hold` right after MULTI takes the lock's lifetime
// away, `refresh` as the last command before EXEC gives it a full one again, both only while the
// lock is still ours, so the lock cannot expire inside the transaction however long it takes,
// and the two take effect together or not at all. Both are empty outside a batch and once the
// lock was lost. The job hands the refresh's result to lock_refresh_answered, which gives the
// lifetime back on the lock's connection at once if the server refused the refresh. Both scripts
// need no memory and run at maxmemory when sent on their own; but there the server refuses every
// command queued after MULTI, so a transaction cannot carry them.
struct LockBracket {
    std::vector<std::string> hold;
    std::vector<std::string> refresh;
    bool empty() const { return hold.empty(); }
};
LockBracket lock_bracket();
void lock_refresh_answered(const redisReply* r);
