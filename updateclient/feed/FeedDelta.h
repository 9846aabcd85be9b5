// Deltas between two versions of a file: a zstd frame compressed with the
// earlier file as its prefix ("patch-from"), so that only the changed parts
// travel.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

namespace KiteFeed {

// Makes the delta that turns base into target. False (and why) on a zstd error.
bool makeDelta(const std::string& base, const std::string& target, int level, std::string* delta,
               std::string* why);

// Applies a delta as it streams in. The base stays borrowed (it must outlive
// the decoder); produced bytes go to the sink in order.
class DeltaDecoder {
 public:
  using Sink = std::function<void(const char* data, std::size_t size)>;

  DeltaDecoder(const void* base, std::size_t baseSize, Sink sink);
  ~DeltaDecoder();
  DeltaDecoder(const DeltaDecoder&) = delete;
  DeltaDecoder& operator=(const DeltaDecoder&) = delete;

  // False (and why) when the bytes are not a valid continuation of the frame.
  bool feed(const void* data, std::size_t size, std::string* why);
  // True once the whole frame has been decoded.
  bool finished() const { return m_finished; }

 private:
  struct Free {
    void operator()(ZSTD_DCtx* ctx) const;
  };
  std::unique_ptr<ZSTD_DCtx, Free> m_ctx;
  Sink m_sink;
  std::string m_out;
  bool m_finished = false;
};

}  // namespace KiteFeed
