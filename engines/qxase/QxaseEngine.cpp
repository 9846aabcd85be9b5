// The anti-spam engine ("qxaseng.dll"). It reads the rule sets of a rules folder (a base rule file,
// its four siblings and the incremental rule files of that base, engines/FORMATS.md), compiles the
// newest sound set into a cache folder and purges old sets.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "EngineGuard.h"

namespace fs = std::filesystem;
using namespace OrvelEngines;

namespace {

constexpr const char* kCacheFile = "qxase.cache";

std::atomic<int> g_initialised{0};

void copyText(char* text, int size, const std::string& value) {
  if (!text || size <= 0) return;
  const std::size_t n = std::min(value.size(), static_cast<std::size_t>(size) - 1);
  std::memcpy(text, value.data(), n);
  text[n] = '\0';
}

// "name size crc" per rule file of the set, after a line with the versions.
bool writeCache(const std::string& rules, const std::string& cache, const RuleSetState& set) {
  std::error_code ec;
  fs::create_directories(cache, ec);
  const std::string target = cache + "/" + kCacheFile;
  const std::string partial = target + ".part";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << "QXASE-CACHE " << kFormatVersion << " " << set.base << " " << set.ruleVersion << "\n";
    for (const std::string& name : set.files) {
      std::uint32_t crc = 0;
      if (!payloadChecksum(rules + "/" + name, crc)) return false;
      char line[64];
      std::snprintf(line, sizeof line, " %ju %08x\n",
                    static_cast<std::uintmax_t>(fs::file_size(rules + "/" + name, ec)), crc);
      out << name << line;
    }
    out.flush();
    if (!out) {
      fs::remove(partial, ec);
      return false;
    }
  }
  fs::rename(partial, target, ec);
  if (ec) fs::remove(partial, ec);
  return !ec;
}

}  // namespace

int QX_AS_getEngineVersion(int* major, int* minor, int* build, int* format) {
  return guarded([&] {
    if (!major || !minor || !build || !format) return refused(FileCheck::kBadArgument);
    *major = ORVEL_ENGINE_MAJOR;
    *minor = ORVEL_ENGINE_MINOR;
    *build = ORVEL_ENGINE_BUILD;
    *format = kFormatVersion;
    return faultInjected("QX_AS_getEngineVersion") ? kEngineInternal : 0;
  });
}

// Reports the newest base of the folder; base and rule version stay 0 unless every file of that
// set is sound.
int QX_AS_getRuleFileVerInDirEx(const char* folder, int* fileCount, int* format,
                                unsigned* baseVersion, unsigned* ruleVersion, char* text,
                                int textSize, int* found) {
  return guarded([&] {
    if (!folder || !baseVersion || !ruleVersion || !found) return refused(FileCheck::kBadArgument);
    const RuleSetState set = newestRuleSet(osPath(folder));
    *found = set.found ? 1 : 0;
    *baseVersion = set.base;
    *ruleVersion = set.ruleVersion;
    if (fileCount) *fileCount = static_cast<int>(set.fileCount);
    if (format) *format = kFormatVersion;
    copyText(text, textSize,
             set.check == FileCheck::kOk ? set.files.front() : fileCheckText(set.check));
    return refused(set.check);
  });
}

int QX_AS_initEngine(void) {
  return guarded([&] {
    ++g_initialised;
    return 0;
  });
}

int QX_AS_buildCache(const char* rulesFolder, const char* cacheFolder, int* ruleFiles) {
  return guarded([&] {
    if (!rulesFolder || !cacheFolder || !*cacheFolder) return refused(FileCheck::kBadArgument);
    if (g_initialised <= 0) return kEngineNotReady;
    if (faultInjected("QX_AS_buildCache")) return kEngineInternal;
    const std::string rules = osPath(rulesFolder);
    const RuleSetState set = newestRuleSet(rules);
    if (set.check != FileCheck::kOk) return refused(set.check);
    if (!writeCache(rules, osPath(cacheFolder), set)) return refused(FileCheck::kIoError);
    if (ruleFiles) *ruleFiles = static_cast<int>(set.fileCount);
    return 0;
  });
}

int QX_AS_uninitEngine(void) {
  return guarded([&] {
    if (g_initialised <= 0) return kEngineNotReady;
    --g_initialised;
    return 0;
  });
}

// Keeps the newest keep sound rule sets and deletes the files of every older base. Bases newer than
// the newest sound set are left alone: they may still be arriving.
int QX_AS_purgeOldRuleFile(const char* folder, int keep) {
  return guarded([&] {
    if (!folder || keep < 1) return refused(FileCheck::kBadArgument);
    const std::string dir = osPath(folder);
    const std::vector<unsigned> bases = ruleBases(dir);
    std::size_t kept = bases.size();
    int sound = 0;
    for (std::size_t i = 0; i < bases.size() && kept == bases.size(); ++i) {
      if (ruleSetState(dir, bases[i]).check == FileCheck::kOk && ++sound == keep) kept = i;
    }
    int deleted = 0;
    for (std::size_t i = kept + 1; i < bases.size(); ++i) {
      for (const std::string& name : ruleFilesOfBase(dir, bases[i])) {
        std::error_code ec;
        if (fs::remove(dir + "/" + name, ec)) ++deleted;
      }
    }
    return deleted;
  });
}
