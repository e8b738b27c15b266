// The server-side halves of the fan-out: reading a chunk within its bounds, and filing it.
#pragma once

// Files one chunk of the main list. It runs last in the chunk's transaction, after the LPUSHes
// that filed the chunk's events, and makes the transaction all or nothing whatever the producer
// did meanwhile: it finds the chunk where it now stands and removes it, or, when it cannot find
// it or may not remove it there, takes the pushes back, so no event is ever lost or doubled.
//
// KEYS[1] is the main list; KEYS[2..] are the per-type lists the transaction pushed onto.
// ARGV[1]: 'h' when the chunk was read at the head, 't' at the tail.
// ARGV[2]: the main list's length when the chunk was read, less what transactions run since
//          removed.  ARGV[3]: the chunk's size k.
// ARGV[4], ARGV[5]: the first bytes (up to 4096) of the chunk's oldest and newest event.
// ARGV[6]: each event's length, oldest first, 4 bytes little-endian.
// ARGV[7]: each event's list, oldest first, 2 bytes: its index in KEYS, 1 for an event that
//          goes back to the main list (its type is the main list's own name).
// ARGV[8], ARGV[9]: the most events, and bytes, that may stand between the read end and the
//          chunk: they are read and written back, so they are bounded like a chunk. 0 events
//          while the producer's end is unknown: a chunk found behind arrivals then shows that
//          the read end is the producer's, and the daemon reads it again at the other.
// Returns {p, a, filed, removed}: a the events that arrived since the read, p how many of them
// stood between the read end and the chunk (0: none, the producer writes at the other end; a:
// all of them, it writes at this one) or -1 when the chunk was not found, filed 1 when the
// chunk was filed and 0 when its pushes were taken back, removed what the main list lost.
//
// Where the chunk stands: only producers add to the main list, at one end, and only this job
// removes, so the chunk stands at the read end or behind the a arrivals. Its two boundary events
// tell which; where both places look alike, their contents decide, and the same texts at both
// places mean removing either removes the same events. An event whose push the server refused
// (its list's key holds another type) goes back to the main list's newest end, as does an event
// filed under the main list's own name, so it is neither lost nor taken again in this run.
constexpr const char* kFinishChunk = R"lua(
local main, tail, k = KEYS[1], ARGV[1] == 't', tonumber(ARGV[3])
local most, room = tonumber(ARGV[8]), tonumber(ARGV[9])
local function len(i) return (struct.unpack('<I4', ARGV[6], 4 * i - 3)) end
local function list_of(i) return (struct.unpack('<I2', ARGV[7], 2 * i - 1)) end
local function is_list(key) return redis.call('TYPE', key).ok == 'list' end
local seen = {}  -- each event is fetched once: a large one costs the script its whole size
local function at(i)
  if seen[i] == nil then
    local e = redis.pcall('LINDEX', main, tail and -1 - i or i)
    seen[i] = type(e) == 'string' and e or false
  end
  return seen[i] or nil
end
local function alike(e, head, n) return e ~= nil and #e == n and string.sub(e, 1, #head) == head end
local function fits(p) return alike(at(p), ARGV[4], len(1)) and alike(at(p + k - 1), ARGV[5], len(k)) end
-- The events at list indexes first..last in list order, or nil past `room` bytes. A few per
-- call: the server copies a call's whole answer again as it grows, so a large one costs more
-- than its size.
local function lrange(first, last, room)
  local out = {}
  for i = first, last, 4 do
    for _, e in ipairs(redis.call('LRANGE', main, i, math.min(i + 3, last))) do
      room = room - #e
      if room < 0 then return nil end
      out[#out + 1] = e
    end
  end
  return out
end
local function range(p)
  if not tail then return lrange(p, p + k - 1, math.huge) end
  local r, out = lrange(-(p + k), -(p + 1), math.huge), {}
  for i = #r, 1, -1 do out[#out + 1] = r[i] end
  return out
end
local function lengths_fit(r)
  for i = 1, k do if #r[i] ~= len(i) then return false end end
  return true
end
-- The p events before the chunk in list order; nil past the bounds.
local function arrivals(p)
  if p > most then return nil end
  return tail and lrange(-p, -1, room) or lrange(0, p - 1, room)
end
local function push(cmd, key, list, from, to, step)
  local args = {}
  for i = from, to, step do
    args[#args + 1] = list[i]
    if #args == 4000 then redis.call(cmd, key, unpack(args)) args = {} end
  end
  if #args > 0 then redis.call(cmd, key, unpack(args)) end
end

local n = redis.pcall('LLEN', main)
local a = type(n) == 'number' and n - tonumber(ARGV[2]) or -1
local p
if a == 0 then
  p = fits(0) and 0 or nil
elseif a > 0 then
  local here, behind = fits(0), fits(a)
  if here and behind then
    local r0, ra = range(0), range(a)
    local same = true
    for i = 1, k do if r0[i] ~= ra[i] then same = false break end end
    local l0, la = same or lengths_fit(r0), lengths_fit(ra)
    if same or l0 ~= la then p = l0 and 0 or a end
  else
    p = here and 0 or (behind and a or nil)
  end
end
local arrived = {}
if p ~= nil and p > 0 then arrived = arrivals(p) end
if p == nil or arrived == nil then
  local pushed = {}
  for i = 1, k do local j = list_of(i) if j > 1 then pushed[j] = (pushed[j] or 0) + 1 end end
  for j, count in pairs(pushed) do
    if is_list(KEYS[j]) then redis.call('LTRIM', KEYS[j], count, -1) end
  end
  return {p or -1, a, 0, 0}
end

local refused, back, r = {}, {}, nil
for j = 2, #KEYS do refused[j] = not is_list(KEYS[j]) end
for i = 1, k do
  local j = list_of(i)
  if j == 1 or refused[j] then
    r = r or range(p)
    back[#back + 1] = r[i]
  end
end
if p == 0 then
  if tail then redis.call('LTRIM', main, 0, -(k + 1)) else redis.call('LTRIM', main, k, -1) end
elseif tail then
  redis.call('LTRIM', main, 0, -(p + k + 1))
  push('RPUSH', main, arrived, 1, #arrived, 1)
else
  redis.call('LTRIM', main, p + k, -1)
  push('LPUSH', main, arrived, #arrived, 1, -1)
end
push(tail and 'LPUSH' or 'RPUSH', main, back, 1, #back, 1)
return {p, a, 1, n - redis.call('LLEN', main)}
)lua";

// Reads one chunk of the main list without writing (so also on a replica or at maxmemory): at
// most ARGV[3] events from end ARGV[1] ('h' or 't'), after the first ARGV[2] there, and no more
// than ARGV[4] bytes of them unless the first alone is larger. It walks a few events at a time,
// as many as the largest seen so far allows in about 1 MB, up to 8 (the server copies a call's
// whole answer again as it grows), so neither the server nor the reply ever holds much more
// than the bound, and a step that meets larger events than before is at most 8 of them.
// Returns {length, next's length or -1, next's first ARGV[5] bytes, events from that end on}:
// the main list's length, and the event after the chunk, by which the daemon knows it again.
constexpr const char* kReadChunk = R"lua(#!lua flags=no-writes
local main, tail = KEYS[1], ARGV[1] == 't'
local i, most, room = tonumber(ARGV[2]), tonumber(ARGV[3]), tonumber(ARGV[4])
local n = redis.call('LLEN', main)
local out, step, largest = {n, -1, ''}, 1, 1
while i < n do
  local last = math.min(i + step, i + most - #out + 4, n) - 1
  local r = tail and redis.call('LRANGE', main, -last - 1, -i - 1) or redis.call('LRANGE', main, i, last)
  for j = 1, #r do
    local e = r[tail and #r + 1 - j or j]
    if #out > 3 and (#out - 3 == most or #e > room) then
      out[2], out[3] = #e, string.sub(e, 1, tonumber(ARGV[5]))
      return out
    end
    out[#out + 1] = e
    room, largest = room - #e, math.max(largest, #e)
  end
  i, step = last + 1, math.max(1, math.min(8, 2 * step, math.floor(1048576 / largest)))
end
return out
)lua";
