#include "FeedDelta.h"

// The sequence interface is zstd's experimental one; the frames it makes are ordinary frames.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "FeedDeltaMatch.h"

namespace KiteFeed {

namespace {

constexpr int kMinWindowLog = ZSTD_WINDOWLOG_MIN;
constexpr int kMaxWindowLog = ZSTD_WINDOWLOG_MAX_64;

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

using Cctx = std::unique_ptr<ZSTD_CCtx, CctxFree>;

bool setParameters(ZSTD_CCtx* ctx, std::initializer_list<std::pair<ZSTD_cParameter, int>> values,
                   std::string* why) {
  for (const auto& [parameter, value] : values)
    if (!zstdOk(ZSTD_CCtx_setParameter(ctx, parameter, value), why)) return false;
  return true;
}

Cctx newCctx() {
  Cctx ctx(ZSTD_createCCtx());
  if (!ctx) throw std::bad_alloc();
  return ctx;
}

// Compresses target with the context's parameters and the base as its prefix.
bool compressOnBase(ZSTD_CCtx* ctx, const std::string& base, const std::string& target,
                    const std::vector<ZSTD_Sequence>* sequences, std::string* delta,
                    std::string* why) {
  if (!setParameters(
          ctx,
          {{ZSTD_c_windowLog, windowLogFor(base.size(), target.size())}, {ZSTD_c_checksumFlag, 1}},
          why) ||
      !zstdOk(ZSTD_CCtx_refPrefix(ctx, base.data(), base.size()), why))
    return false;
  std::string out(ZSTD_compressBound(target.size()), '\0');
  const std::size_t n =
      sequences ? ZSTD_compressSequences(ctx, out.data(), out.size(), sequences->data(),
                                         sequences->size(), target.data(), target.size())
                : ZSTD_compress2(ctx, out.data(), out.size(), target.data(), target.size());
  if (!zstdOk(n, why)) return false;
  out.resize(n);
  *delta = std::move(out);
  return true;
}

bool zstdParsedDelta(const std::string& base, const std::string& target, int level,
                     std::string* delta, std::string* why) {
  const Cctx ctx = newCctx();
  return setParameters(ctx.get(),
                       {{ZSTD_c_compressionLevel, level},
                        {ZSTD_c_enableLongDistanceMatching, 1},
                        {ZSTD_c_hashLog, kMatchFinderHashLog},
                        {ZSTD_c_chainLog, kMatchFinderChainLog},
                        {ZSTD_c_searchLog, kMatchFinderSearchLog}},
                       why) &&
         compressOnBase(ctx.get(), base, target, nullptr, delta, why);
}

// The same frame format with the matches found by walking the base; zstd only codes them. zstd
// cannot check them itself (its check refuses every match into a prefix), and a match outside
// the base or the target would make it read out of bounds.
bool baseMatchedDelta(const std::string& base, const std::string& target, int level,
                      std::string* delta) {
  if (static_cast<unsigned long long>(base.size()) + target.size() >= (1ULL << kMaxWindowLog))
    return false;
  const std::vector<BaseMatch> matches = matchAgainstBase(base, target);
  if (!matchesHold(base, target, matches)) return false;
  std::vector<ZSTD_Sequence> sequences;
  std::size_t at = 0;
  for (const BaseMatch& m : matches) {
    at += m.literals;
    const std::size_t distance = base.size() + at - m.from;
    sequences.push_back({static_cast<unsigned>(distance), static_cast<unsigned>(m.literals),
                         static_cast<unsigned>(m.length), 0});
    at += m.length;
  }
  const Cctx ctx = newCctx();
  std::string why;
  // The level still chooses how the literals and sequences are coded; the match finder's tables
  // go unused, but zstd would fill them from the whole base.
  return setParameters(ctx.get(),
                       {{ZSTD_c_compressionLevel, level},
                        {ZSTD_c_hashLog, ZSTD_HASHLOG_MIN},
                        {ZSTD_c_chainLog, ZSTD_CHAINLOG_MIN},
                        {ZSTD_c_searchLog, ZSTD_SEARCHLOG_MIN},
                        {ZSTD_c_minMatch, static_cast<int>(kMinBaseMatch)}},
                       &why) &&
         compressOnBase(ctx.get(), base, target, &sequences, delta, &why);
}

bool mergesTo(const std::string& base, const std::string& delta, const std::string& target) {
  std::size_t at = 0;
  bool same = true;
  DeltaDecoder decoder(base.data(), base.size(), [&](const char* data, std::size_t size) {
    same = same && size <= target.size() - at && std::memcmp(data, target.data() + at, size) == 0;
    at += size;
  });
  std::string why;
  return decoder.feed(delta.data(), delta.size(), &why) && decoder.finished() && same &&
         at == target.size();
}

}  // namespace

// zstd's own parser, on a file whose changes are single bytes scattered through unchanged
// stretches, ends about half of its matches one byte early and sends that unchanged byte as new:
// a fifth more bytes than the changes need. Walking the base finds each stretch whole; zstd's
// parser stays better where the new bytes repeat among themselves, so the smaller frame is kept.
// The walked one only once it has been read back to the target: it goes through zstd's
// experimental sequence interface.
bool makeDelta(const std::string& base, const std::string& target, int level, std::string* delta,
               std::string* why) {
  if (!zstdParsedDelta(base, target, level, delta, why)) return false;
  std::string walked;
  if (baseMatchedDelta(base, target, level, &walked) && walked.size() < delta->size() &&
      mergesTo(base, walked, target))
    *delta = std::move(walked);
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
