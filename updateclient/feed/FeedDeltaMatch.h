// Where a new version of a file repeats its base: the stretches a delta can copy instead of
// sending. Found by walking the new version once, staying on the base position of the last
// stretch while it matches again and looking the rest up in an index of the base.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace KiteFeed {

struct BaseMatch {
  std::size_t literals;  // new bytes between the previous match (or the start) and this one
  std::size_t from;      // where the repeated stretch starts in the base
  std::size_t length;    // bytes repeated, at least kMinBaseMatch
};

// The shortest match a zstd frame can hold.
constexpr std::size_t kMinBaseMatch = 3;

// The matches in target order; the bytes after the last one are new.
std::vector<BaseMatch> matchAgainstBase(const std::string& base, const std::string& target);

// Whether each match is at least kMinBaseMatch long, lies within the base and the target, and
// repeats the base there.
bool matchesHold(const std::string& base, const std::string& target,
                 const std::vector<BaseMatch>& matches);

}  // namespace KiteFeed
