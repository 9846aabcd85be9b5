// The exports of the reference scan engines, as the engines define them. Every export has C
// linkage, takes 32-bit integers unless said otherwise, never throws and answers with a code.
// Results of the calls that check files are 0 or the negated OrvelEngines::FileCheck of what was
// wrong; kEngineNotReady and kEngineInternal are the engines' own.
#pragma once

#include <cstdint>

#pragma GCC visibility push(default)

namespace OrvelEngines {
constexpr int kEngineNotReady = -20;  // the engine was not initialised for this call
constexpr int kEngineInternal = -21;  // an unexpected failure inside the engine
}  // namespace OrvelEngines

extern "C" {

using ZRHandle = void*;

// One pattern file as the virus-scan engine reports it: 24 bytes.
struct ZRPatternEntry {
  char szFileName[16];              // the file name without folder, NUL-terminated
  std::int32_t iPatternNumber;      // bytes 16 to 19: the number the name carries
  std::uint32_t uiInternalVersion;  // as the header says; 0 when the file was not read
};
static_assert(sizeof(ZRPatternEntry) == 24, "ZRPatternEntry is a 24-byte record");

struct ZREngineVersion {
  std::int32_t iMajor;
  std::int32_t iMinor;
  std::int32_t iFormat;  // the pattern format version the engine reads
  std::int32_t iBuild;
};

// Virus-scan engine ("ziran32.dll") and Dexa engine ("dexa32.dll").
int ZRInit(int reserved, const char* caller, int options, ZRHandle* handle);
int ZRQuit(ZRHandle handle);
// validate 1: the payload checksums are checked too, 0: the headers only.
int ZRGetLastPattern(const char* folder, const char* base, ZRPatternEntry* entry, int validate);
int ZRGetVersion(ZREngineVersion* version);
int ZRGetPatternInternalVersion(const char* path, std::uint32_t* internalVersion,
                                std::uint16_t* patternNumber);
// list null: the result and *count are the number of files of the base. Otherwise *count is the
// capacity on entry and the number of entries filled on return, newest first.
int ZRGetPatternList(const char* folder, const char* base, ZRPatternEntry* list, int* count,
                     int validate);
// Deletes all but the newest keep valid patterns of the base; the number deleted.
int ZRDeleteUnusedPattern(const char* folder, const char* base, int keep);

// URL filtering engine ("qxufeng.dll"): results greater than 0 are success.
int QX_UF_initEngEx(const char* product, const char* prefix, int options);
int QX_UF_getEngineVersion(unsigned* major, unsigned* minor, unsigned* build, unsigned* format);
int QX_UF_uninitEngEx(void);

// Anti-spam engine ("qxaseng.dll").
int QX_AS_getEngineVersion(int* major, int* minor, int* build, int* format);
int QX_AS_getRuleFileVerInDirEx(const char* folder, int* fileCount, int* format,
                                unsigned* baseVersion, unsigned* ruleVersion, char* text,
                                int textSize, int* found);
int QX_AS_initEngine(void);
// 0 or more: success; ruleFiles receives the number of rule files the cache was built from.
int QX_AS_buildCache(const char* rulesFolder, const char* cacheFolder, int* ruleFiles);
int QX_AS_uninitEngine(void);
// Deletes the files of all but the newest keep rule sets; the number of files deleted.
int QX_AS_purgeOldRuleFile(const char* folder, int keep);

}  // extern "C"

#pragma GCC visibility pop
