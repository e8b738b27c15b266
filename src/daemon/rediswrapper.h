// The cycle lock: one Redis string key holding the holder's pid, created with a lifetime, so a
// lock left by a dead process blocks the others for at most that long.
#pragma once

#include <hiredis/hiredis.h>

#include <string>
#include <vector>

// True when this process holds the lock on return. Takes over at once a lock whose holder is
// gone (no such pid, or a holder id of 0 or below). Never throws on Redis failures; logs only a
// missing reply to the first SET.
bool lock_redis(redisContext* c, const std::string& key, int lifetime_seconds);
// Deletes the key if this process holds it; a foreign holder is logged and left alone.
void unlock_redis(redisContext* c, const std::string& key);
// Gives the lock a fresh lifetime if this process still holds it, in one server-side step.
// False when the key is gone or another process holds it, or the connection failed.
bool refresh_lock(redisContext* c, const std::string& key, int lifetime_seconds);
// The same compare-and-expire as the arguments of one command, for a caller that queues it in a
// pipeline or a transaction of its own; answered_refresh reads its reply.
std::vector<std::string> refresh_lock_command(const std::string& key, int lifetime_seconds);
bool answered_refresh(const redisReply* r);
// Removes the lock's lifetime if this process holds it: only ever the first command of a
// transaction that ends with refresh_lock_command, so the lock is never left without one.
std::vector<std::string> hold_lock_command(const std::string& key);
