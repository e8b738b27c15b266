// The cycle lock: one Redis string key holding the holder's pid, created with a lifetime, so a
// lock left by a dead process blocks the others for at most that long.
#pragma once

#include <hiredis/hiredis.h>

#include <string>

// True when this process holds the lock on return. Takes over at once a lock whose holder is
// gone (no such pid, or a holder id of 0 or below) or is this process itself, and gives a held
// lock found without a lifetime one. Works at maxmemory too. Never throws on Redis failures; logs
// a missing reply to the first step as "Error: Couldn't set lock %s", and an error the server
// answers as "<prefix>: couldn't set lock %s: %s" with the server's text.
bool lock_redis(const char* prefix, redisContext* c, const std::string& key, int lifetime_seconds);
// Deletes the key if this process holds it; a foreign holder is logged and left alone. A missing
// reply or an error answer is logged at LOG_ALERT, with the server's text for the latter.
void unlock_redis(redisContext* c, const std::string& key);
