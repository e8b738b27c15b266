// What the retention job remembers of each list between its runs, so that a run reads only what
// may have changed: the entries that arrived at either end, and the stretches whose timestamps may
// have left the window. It is only an aid: every run first checks the list against it, and a list
// the check cannot explain is read whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Entries compared at each place the check looks at.
constexpr long long kCheckWindow = 8;

// An entry's bytes hashed to 32 bits: four bytes a remembered entry. The check compares a few
// consecutive entries at a time, so a chance collision cannot fool it.
using EntryHash = std::uint32_t;

// Consecutive entries, all kept when last judged, and the oldest and newest instant among them.
struct Stretch {
    long long count = 0;
    long long bytes = 0;
    std::int64_t oldest = INT64_MAX;
    std::int64_t newest = INT64_MIN;
};

struct ListMemory {
    std::vector<EntryHash> hashes;   // one per entry, head first
    std::vector<Stretch> stretches;  // head first; their counts add up to hashes.size()
    std::string head, tail;          // the texts at the two ends, which the check looks for
    std::chrono::steady_clock::time_point read_whole{};  // when the list was last read whole
    long long length() const { return static_cast<long long>(hashes.size()); }
};

// The memory of the lists, by name, for the runs of this process. A list's memory is trusted for
// `interval` after it was last read whole: `recall` gives null once that has passed, or for a list
// not remembered.
const ListMemory* recall(const std::string& key, std::chrono::steady_clock::duration interval);
void remember(const std::string& key, ListMemory memory);
void forget(const std::string& key);
// Forgets every list but those named.
void forget_others(const std::vector<std::string>& named);

EntryHash text_hash(std::string_view text);

// What the check saw of the list, in one step under the watch: its length; the first and the last
// kCheckWindow entries, head first; where the remembered head text stands, first from the head,
// with the kCheckWindow entries from there; and where the remembered tail text stands, last from
// the tail, with the kCheckWindow entries up to there (-1 where a text stands nowhere).
struct ListEnds {
    long long length = 0;
    std::vector<EntryHash> head;
    std::vector<EntryHash> tail;
    long long head_at = -1;
    std::vector<EntryHash> from_head_at;
    long long tail_at = -1;
    std::vector<EntryHash> to_tail_at;
};

// How the list came from the remembered one: entries arrived at and taken from each end.
struct Layout {
    long long arrived_head = 0;
    long long taken_head = 0;
    long long taken_tail = 0;
    long long arrived_tail = 0;
};

// The layout that the check's view shows, or nullopt where it cannot tell: the list was replaced,
// an end both lost and gained entries, or too little of the remembered list is left. At each end
// the remembered end entry is looked for first (arrivals), then the entries now at the end among
// the remembered ones (entries taken); the two ends must account for the whole length.
std::optional<Layout> locate(const ListMemory& memory, const ListEnds& ends);

// What a stretch's two instants tell about all of its entries, for the window of the run.
enum class StretchVerdict { kKept, kStale, kMixed };
StretchVerdict judge_stretch(const Stretch& s, std::int64_t now, int valid_duration);
// Whether one instant lies within the window: at most valid_duration whole hours from now.
bool within_window(std::int64_t instant, std::int64_t now, int valid_duration);

// Builds the memory of a list as a run leaves it, from its kept entries in the order the run read
// them: those it read, and the stretches it knew to be kept without reading them.
class MemoryBuilder {
  public:
    void add(EntryHash hash, std::int64_t instant, long long bytes);
    // The remembered entries [first, end) of `from`, as the stretches `parts` (clipped to them).
    void add_remembered(const ListMemory& from, long long first, long long end,
                        const std::vector<Stretch>& parts, bool backward);
    // The memory, head first; `backward` when the run read from the tail.
    ListMemory finish(bool backward);

  private:
    void append(const Stretch& s);
    ListMemory memory_;
};
