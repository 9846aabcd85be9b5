#include "FeedDelta.h"

#include <zstd.h>

#include <algorithm>
#include <new>

namespace KiteFeed {

namespace {

// zstd's own limits for 64-bit builds (its public header keeps them behind
// ZSTD_STATIC_LINKING_ONLY).
constexpr int kMinWindowLog = 10;
constexpr int kMaxWindowLog = 31;

struct CctxFree {
  void operator()(ZSTD_CCtx* ctx) const { ZSTD_freeCCtx(ctx); }
};

// The window has to reach from the end of the target back to the start of the
// base for every match into the base to be usable.
int windowLogFor(std::size_t base, std::size_t target) {
  const unsigned long long span = static_cast<unsigned long long>(base) + target + 1;
  int log = kMinWindowLog;
  while (log < kMaxWindowLog && (1ULL << log) < span) ++log;
  return log;
}

// The long-distance matcher finds the unchanged stretches of the base, however far back they lie;
// the regular match finder only has to bridge the short gaps between changes, where the previous
// offset into the base almost always matches again. Tables sized by the level for the whole base
// would make loading a base of tens of MiB take minutes and make the delta no smaller.
constexpr int kMatchFinderHashLog = 16;
constexpr int kMatchFinderChainLog = 12;
constexpr int kMatchFinderSearchLog = 1;

bool zstdOk(std::size_t code, std::string* why) {
  if (!ZSTD_isError(code)) return true;
  *why = ZSTD_getErrorName(code);
  return false;
}

}  // namespace

bool makeDelta(const std::string& base, const std::string& target, int level, std::string* delta,
               std::string* why) {
  std::unique_ptr<ZSTD_CCtx, CctxFree> ctx(ZSTD_createCCtx());
  if (!ctx) throw std::bad_alloc();
  if (!zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, level), why) ||
      !zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_windowLog,
                                     windowLogFor(base.size(), target.size())),
              why) ||
      !zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_enableLongDistanceMatching, 1), why) ||
      !zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_hashLog, kMatchFinderHashLog), why) ||
      !zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_chainLog, kMatchFinderChainLog), why) ||
      !zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_searchLog, kMatchFinderSearchLog), why) ||
      !zstdOk(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_checksumFlag, 1), why) ||
      !zstdOk(ZSTD_CCtx_refPrefix(ctx.get(), base.data(), base.size()), why))
    return false;
  std::string out(ZSTD_compressBound(target.size()), '\0');
  const std::size_t n =
      ZSTD_compress2(ctx.get(), out.data(), out.size(), target.data(), target.size());
  if (!zstdOk(n, why)) return false;
  out.resize(n);
  *delta = std::move(out);
  return true;
}

void DeltaDecoder::Free::operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }

DeltaDecoder::DeltaDecoder(const void* base, std::size_t baseSize, Sink sink)
    : m_ctx(ZSTD_createDCtx()), m_sink(std::move(sink)), m_out(ZSTD_DStreamOutSize(), '\0') {
  if (!m_ctx) throw std::bad_alloc();
  ZSTD_DCtx_setParameter(m_ctx.get(), ZSTD_d_windowLogMax, kMaxWindowLog);
  ZSTD_DCtx_refPrefix(m_ctx.get(), base, baseSize);
}

DeltaDecoder::~DeltaDecoder() = default;

bool DeltaDecoder::feed(const void* data, std::size_t size, std::string* why) {
  ZSTD_inBuffer in{data, size, 0};
  while (true) {
    if (m_finished) {
      if (in.pos == in.size) return true;
      *why = "data after the end of the delta frame";
      return false;
    }
    ZSTD_outBuffer out{m_out.data(), m_out.size(), 0};
    const std::size_t ret = ZSTD_decompressStream(m_ctx.get(), &out, &in);
    if (!zstdOk(ret, why)) return false;
    if (out.pos > 0) m_sink(m_out.data(), out.pos);
    if (ret == 0) {
      m_finished = true;
      continue;
    }
    // A full output buffer may hide more decoded bytes; only stop when the
    // input is used up and the decoder had room to spare.
    if (in.pos == in.size && out.pos < out.size) return true;
  }
}

}  // namespace KiteFeed
