// The server-side half of filing one chunk of the main list. It runs last in the chunk's
// transaction, after the LPUSHes that filed the chunk's events, and makes the transaction all or
// nothing whatever the producer did meanwhile: it finds the chunk where it now stands and removes
// it, or, when it cannot find it, takes the pushes back, so no event is ever lost or doubled.
//
// KEYS[1] is the main list; KEYS[2..] are the per-type lists the transaction pushed onto.
// ARGV[1]: 'h' when the chunk was read at the head, 't' at the tail.
// ARGV[2]: the main list's length when the chunk was read.  ARGV[3]: the chunk's size k.
// ARGV[4], ARGV[5]: the first bytes (up to 4096) of the chunk's oldest and newest event.
// ARGV[6]: each event's length, oldest first, 4 bytes little-endian.
// ARGV[7]: each event's list, oldest first, 2 bytes: its index in KEYS, 1 for an event that
//          goes back to the main list (its type is the main list's own name).
// Returns {p, a}: a the events that arrived since the read, p how many of them stood between the
// read end and the chunk (0: none, the producer writes at the other end; a: all of them, it
// writes at this one), or -1 when the chunk was not found and the pushes were taken back.
//
// Where the chunk stands: only producers add to the main list, at one end, and only this job
// removes, so the chunk stands at the read end or behind the a arrivals. Its two boundary events
// tell which; where both places look alike, their contents decide, and the same texts at both
// places mean removing either removes the same events. An event whose push the server refused
// (its list's key holds another type) goes back to the main list's newest end, as does an event
// filed under the main list's own name, so it is neither lost nor taken again in this run.
#pragma once

constexpr const char* kFinishChunk = R"lua(
local main, tail, k = KEYS[1], ARGV[1] == 't', tonumber(ARGV[3])
local function len(i) return (struct.unpack('<I4', ARGV[6], 4 * i - 3)) end
local function list_of(i) return (struct.unpack('<I2', ARGV[7], 2 * i - 1)) end
local function is_list(key) return redis.call('TYPE', key).ok == 'list' end
local function at(i)
  local e = redis.pcall('LINDEX', main, tail and -1 - i or i)
  return type(e) == 'string' and e or nil
end
local function alike(e, head, n) return e ~= nil and #e == n and string.sub(e, 1, #head) == head end
local function fits(p) return alike(at(p), ARGV[4], len(1)) and alike(at(p + k - 1), ARGV[5], len(k)) end
local function range(p)
  if not tail then return redis.call('LRANGE', main, p, p + k - 1) end
  local r, out = redis.call('LRANGE', main, -(p + k), -(p + 1)), {}
  for i = #r, 1, -1 do out[#out + 1] = r[i] end
  return out
end
local function lengths_fit(r)
  for i = 1, k do if #r[i] ~= len(i) then return false end end
  return true
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
if p == nil then
  local pushed = {}
  for i = 1, k do local j = list_of(i) if j > 1 then pushed[j] = (pushed[j] or 0) + 1 end end
  for j, count in pairs(pushed) do
    if is_list(KEYS[j]) then redis.call('LTRIM', KEYS[j], count, -1) end
  end
  return {-1, a}
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
  local arrived = redis.call('LRANGE', main, -p, -1)
  redis.call('LTRIM', main, 0, -(p + k + 1))
  push('RPUSH', main, arrived, 1, #arrived, 1)
else
  local arrived = redis.call('LRANGE', main, 0, p - 1)
  redis.call('LTRIM', main, p + k, -1)
  push('LPUSH', main, arrived, #arrived, 1, -1)
end
push(tail and 'LPUSH' or 'RPUSH', main, back, 1, #back, 1)
return {p, a}
)lua";
