// The retention job's memory of its lists, and the check of a list against it.
#include "jobs/listmemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "jobs/chrondiff.h"

namespace {

// Entries in one stretch at most: a stretch whose oldest entry left the window is read again
// whole, so a stretch is small next to the list, yet large next to what arrives between two runs.
constexpr long long kStretchEntries = 4096;

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

bool equal_at(const std::vector<EntryHash>& hashes, long long at,
              const std::vector<EntryHash>& seen) {
    return at >= 0 && static_cast<long long>(seen.size()) == kCheckWindow &&
           at + kCheckWindow <= static_cast<long long>(hashes.size()) &&
           std::equal(seen.begin(), seen.end(), hashes.begin() + at);
}

// How many entries were taken from one end of the remembered list, given the entries now at
// that end (`from_tail`: the last ones): the smallest count after which they stand there, 0 when
// none does.
long long taken_from_end(const std::vector<EntryHash>& hashes, const std::vector<EntryHash>& seen,
                         bool from_tail) {
    const long long last_start = static_cast<long long>(hashes.size()) - kCheckWindow;
    for (long long j = 1; j <= last_start; ++j) {
        if (equal_at(hashes, from_tail ? last_start - j : j, seen)) {
            return j;
        }
    }
    return 0;
}

std::map<std::string, ListMemory> memories;

}  // namespace

const ListMemory* recall(const std::string& key, std::chrono::steady_clock::duration interval) {
    const auto it = memories.find(key);
    return it != memories.end() &&
                   std::chrono::steady_clock::now() - it->second.read_whole < interval
               ? &it->second
               : nullptr;
}

void remember(const std::string& key, ListMemory memory) {
    if (memory.length() > 0) {
        memories[key] = std::move(memory);
    } else {
        memories.erase(key);
    }
}

void forget(const std::string& key) {
    memories.erase(key);
}

void forget_others(const std::vector<std::string>& named) {
    for (auto it = memories.begin(); it != memories.end();) {
        const bool kept = std::find(named.begin(), named.end(), it->first) != named.end();
        it = kept ? std::next(it) : memories.erase(it);
    }
}

EntryHash text_hash(std::string_view text) {
    constexpr std::uint64_t k1 = 0xa0761d6478bd642full;
    constexpr std::uint64_t k2 = 0xe7037ed1a0b428dbull;
    const char* p = text.data();
    size_t n = text.size();
    std::uint64_t h = k1 ^ n;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    for (; n > 16; p += 16, n -= 16) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 8, 8);
        h = mix(a ^ k2 ^ h, b ^ k1);
    }
    a = 0;
    b = 0;
    std::memcpy(&a, p, std::min<size_t>(n, 8));
    if (n > 8) {
        std::memcpy(&b, p + 8, n - 8);
    }
    return static_cast<EntryHash>(mix(a ^ k2 ^ h, b ^ k1 ^ text.size()));
}

std::optional<Layout> locate(const ListMemory& memory, const ListEnds& ends) {
    const long long remembered = memory.length();
    if (remembered < 2 * kCheckWindow) {
        return std::nullopt;  // read whole: that costs next to nothing
    }
    const long long last_start = remembered - kCheckWindow;
    Layout layout;
    if (ends.head_at >= 0 && equal_at(memory.hashes, 0, ends.from_head_at)) {
        layout.arrived_head = ends.head_at;
    } else {
        layout.taken_head = taken_from_end(memory.hashes, ends.head, false);
        if (layout.taken_head == 0) {
            return std::nullopt;
        }
    }
    if (ends.tail_at >= 0 && equal_at(memory.hashes, last_start, ends.to_tail_at)) {
        layout.arrived_tail = ends.length - 1 - ends.tail_at;
    } else {
        layout.taken_tail = taken_from_end(memory.hashes, ends.tail, true);
        if (layout.taken_tail == 0) {
            return std::nullopt;
        }
    }
    const long long left = remembered - layout.taken_head - layout.taken_tail;
    if (left < kCheckWindow || layout.arrived_head + left + layout.arrived_tail != ends.length) {
        return std::nullopt;
    }
    return layout;
}

bool within_window(std::int64_t instant, std::int64_t now, int valid_duration) {
    return std::abs(hours_between(now, instant)) <= valid_duration;
}

StretchVerdict judge_stretch(const Stretch& s, std::int64_t now, int valid_duration) {
    if (within_window(s.oldest, now, valid_duration) &&
        within_window(s.newest, now, valid_duration)) {
        return StretchVerdict::kKept;  // the window is one span of time: all between are in it
    }
    if (hours_between(now, s.newest) > valid_duration ||
        hours_between(now, s.oldest) < -valid_duration) {
        return StretchVerdict::kStale;  // all too old, or all too far ahead
    }
    return StretchVerdict::kMixed;
}

void MemoryBuilder::append(const Stretch& s) {
    std::vector<Stretch>& all = memory_.stretches;
    if (!all.empty() && all.back().count + s.count <= kStretchEntries) {
        Stretch& last = all.back();
        last.count += s.count;
        last.bytes += s.bytes;
        last.oldest = std::min(last.oldest, s.oldest);
        last.newest = std::max(last.newest, s.newest);
    } else {
        all.push_back(s);
    }
}

void MemoryBuilder::add(EntryHash hash, std::int64_t instant, long long bytes) {
    memory_.hashes.push_back(hash);
    append({1, bytes, instant, instant});
}

void MemoryBuilder::add_remembered(const ListMemory& from, long long first, long long end,
                                   const std::vector<Stretch>& parts, bool backward) {
    const auto begin = from.hashes.begin();
    if (backward) {
        memory_.hashes.insert(memory_.hashes.end(), std::make_reverse_iterator(begin + end),
                              std::make_reverse_iterator(begin + first));
        std::for_each(parts.rbegin(), parts.rend(), [this](const Stretch& s) { append(s); });
    } else {
        memory_.hashes.insert(memory_.hashes.end(), begin + first, begin + end);
        std::for_each(parts.begin(), parts.end(), [this](const Stretch& s) { append(s); });
    }
}

ListMemory MemoryBuilder::finish(bool backward) {
    if (backward) {
        std::reverse(memory_.hashes.begin(), memory_.hashes.end());
        std::reverse(memory_.stretches.begin(), memory_.stretches.end());
    }
    return std::move(memory_);
}
