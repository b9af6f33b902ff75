// A sweep cut into shards, one per core: threads for the host's pure
// functions, processes for the emulated image (the scripted platform behind
// its imports is one per process). Each shard reports what it found as text,
// empty when nothing; speed decides only how long a sweep takes.
#ifndef B64FILTER_TESTS_PROOF_SHARDS_H
#define B64FILTER_TESTS_PROOF_SHARDS_H

#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>

namespace proof {

// The shards to cut a sweep into: one per core.
unsigned ShardCount();

// Runs part(shard, shards) for every shard at once, in threads, and gives
// the reports joined (empty when every shard found nothing).
std::string InThreads(const std::function<std::string(unsigned, unsigned)> &part);

// The same in child processes, each with its own copy of everything: a shard
// that dies (the decoder's bound checked in the test build, say) reports how.
std::string InProcesses(const std::function<std::string(unsigned, unsigned)> &part);

// Seconds from start to now, for a sweep's report of its time.
inline double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The shard's part of [0, count): [*from, *to).
void ShardRange(uint64_t count, unsigned shard, unsigned shards, uint64_t *from, uint64_t *to);

// Keeps the first few findings of a shard, and counts the rest.
class Findings {
public:
    void Add(const std::string &what)
    {
        if (count_++ < kKept)
            text_ += what + "\n";
    }
    std::string Report() const
    {
        return count_ <= kKept ? text_ : text_ + "... and " + std::to_string(count_ - kKept) + " more\n";
    }
    bool Any() const { return count_ != 0; }

private:
    static const uint64_t kKept = 8;
    uint64_t count_ = 0;
    std::string text_;
};

// "0x" and the value in hexadecimal.
std::string Hex(uint64_t value);

// Bytes as C escapes, for a finding's text.
std::string Escaped(const std::string &bytes);

}  // namespace proof

#endif
