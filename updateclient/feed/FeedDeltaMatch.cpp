#include "FeedDeltaMatch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace KiteFeed {

namespace {

// A stretch of kSeedBytes in the new version is looked up among the base's stretches that start
// every kSeedStep bytes, so every common stretch of kSeedBytes + kSeedStep - 1 bytes or more is
// found; shorter ones only where the previous match continues.
constexpr std::size_t kSeedBytes = 16;
constexpr std::size_t kSeedStep = 16;
constexpr int kMinTableLog = 10;
// 64 MiB of index at most; a larger base keeps its later seeds.
constexpr int kMaxTableLog = 24;
constexpr std::uint32_t kNoSeed = UINT32_MAX;

std::uint64_t word(const char* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Bytes in common from a and b onwards, at most max.
std::size_t commonLength(const char* a, const char* b, std::size_t max) {
  std::size_t n = 0;
  while (n + 8 <= max) {
    const std::uint64_t diff = word(a + n) ^ word(b + n);
    if (diff != 0) return n + static_cast<std::size_t>(__builtin_ctzll(diff)) / 8;
    n += 8;
  }
  while (n < max && a[n] == b[n]) ++n;
  return n;
}

class SeedIndex {
 public:
  explicit SeedIndex(const std::string& base) {
    const std::size_t seeds = base.size() / kSeedStep + 1;
    while (m_log < kMaxTableLog && (std::size_t{1} << m_log) < seeds) ++m_log;
    m_table.assign(std::size_t{1} << m_log, kNoSeed);
    for (std::size_t at = 0; at + kSeedBytes <= base.size(); at += kSeedStep)
      m_table[slot(base.data() + at)] = static_cast<std::uint32_t>(at);
  }

  // A base position whose seed may equal the kSeedBytes at `at`, or kNoSeed.
  std::uint32_t candidate(const char* at) const { return m_table[slot(at)]; }

 private:
  std::size_t slot(const char* at) const {
    const std::uint64_t mixed =
        (word(at) ^ (word(at + 8) * 0x9E3779B97F4A7C15ULL)) * 0xC2B2AE3D27D4EB4FULL;
    return static_cast<std::size_t>(mixed >> (64 - m_log));
  }

  int m_log = kMinTableLog;
  std::vector<std::uint32_t> m_table;
};

}  // namespace

std::vector<BaseMatch> matchAgainstBase(const std::string& base, const std::string& target) {
  std::vector<BaseMatch> matches;
  // Base positions are kept in 32 bits.
  if (base.size() >= kNoSeed) return matches;
  const SeedIndex index(base);
  const char* const b = base.data();
  const char* const t = target.data();
  std::size_t pos = 0, literalsFrom = 0;
  // Where the base lies relative to the new version at the last match: a changed byte or run
  // within an unchanged stretch is followed by the base again at the same distance.
  bool followed = false;
  std::size_t lastFrom = 0, lastAt = 0;
  while (pos + kMinBaseMatch <= target.size()) {
    std::size_t start = pos, from = 0, length = 0;
    if (followed && lastFrom + (pos - lastAt) < base.size()) {
      from = lastFrom + (pos - lastAt);
      length = commonLength(t + pos, b + from, std::min(target.size() - pos, base.size() - from));
    }
    if (length < kMinBaseMatch && pos + kSeedBytes <= target.size()) {
      const std::uint32_t seed = index.candidate(t + pos);
      const std::size_t ahead =
          seed == kNoSeed
              ? 0
              : commonLength(t + pos, b + seed, std::min(target.size() - pos, base.size() - seed));
      if (ahead >= kSeedBytes) {
        from = seed;
        length = ahead;
        while (start > literalsFrom && from > 0 && t[start - 1] == b[from - 1]) {
          --start;
          --from;
          ++length;
        }
      }
    }
    if (length < kMinBaseMatch) {
      ++pos;
      continue;
    }
    matches.push_back({start - literalsFrom, from, length});
    followed = true;
    lastFrom = from;
    lastAt = start;
    pos = literalsFrom = start + length;
  }
  return matches;
}

bool matchesHold(const std::string& base, const std::string& target,
                 const std::vector<BaseMatch>& matches) {
  std::size_t at = 0;
  for (const BaseMatch& m : matches) {
    if (m.literals > target.size() - at) return false;
    at += m.literals;
    if (m.length < kMinBaseMatch || m.from > base.size() || m.length > base.size() - m.from ||
        m.length > target.size() - at || base.compare(m.from, m.length, target, at, m.length) != 0)
      return false;
    at += m.length;
  }
  return true;
}

}  // namespace KiteFeed
