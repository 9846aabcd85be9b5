// Delta merging on any bytes: the first piece is the base, the rest a delta fed in two parts.
// A delta made from the base to the rest merges back to exactly the rest, and every stretch the
// walk of the base finds is really there.
#include <string>

#include "FuzzSupport.h"
#include "feed/FeedDelta.h"
#include "feed/FeedDeltaMatch.h"

namespace {

// Feeds the delta in two parts; the result, or false when the decoder refuses it or it is cut
// short.
bool merge(const std::string& base, const std::string& delta, std::string* out) {
  // Only a delta of our own is kept: a tiny frame of the fuzzer's may unfold to gigabytes.
  KiteFeed::DeltaDecoder decoder(base.data(), base.size(), [&](const char* bytes, std::size_t n) {
    if (out) out->append(bytes, n);
  });
  std::string why;
  const std::size_t half = delta.size() / 2;
  return decoder.feed(delta.data(), half, &why) &&
         decoder.feed(delta.data() + half, delta.size() - half, &why) && decoder.finished();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string base = OrvelFuzz::pieces(data, size, 1)[0];
  const std::string rest = size > base.size()
                               ? std::string(reinterpret_cast<const char*>(data) + base.size() + 1,
                                             size - base.size() - 1)
                               : std::string();
  merge(base, rest, nullptr);
  // A wrong match would only lose to zstd's own parse in makeDelta, so it is looked for here.
  OrvelFuzz::require(KiteFeed::matchesHold(base, rest, KiteFeed::matchAgainstBase(base, rest)),
                     "the base matches are in the base");
  std::string delta, why, merged;
  OrvelFuzz::require(KiteFeed::makeDelta(base, rest, 1, &delta, &why), "a delta can be made");
  OrvelFuzz::require(merge(base, delta, &merged) && merged == rest,
                     "a made delta merges back to its target");
  return 0;
}
