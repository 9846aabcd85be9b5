// The virus-scan engine ("ziran32.dll"), also built as the Dexa engine ("dexa32.dll"). It reads the
// pattern files of the virus-scan family; a pattern counts only when its header, size, name and
// payload checksum agree (engines/FORMATS.md).
#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "EngineGuard.h"

namespace fs = std::filesystem;
using namespace OrvelEngines;

namespace {

struct Session {
  std::string caller;
};

std::mutex g_sessionsMutex;
std::set<Session*> g_sessions;

std::string pathIn(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

void fillEntry(ZRPatternEntry& entry, const std::string& name, unsigned number,
               std::uint32_t internal) {
  std::memset(&entry, 0, sizeof entry);
  std::strncpy(entry.szFileName, name.c_str(), sizeof entry.szFileName - 1);
  entry.iPatternNumber = static_cast<std::int32_t>(number);
  entry.uiInternalVersion = internal;
}

// Index (in the newest-first list) of the keep-th valid pattern; files.size() when fewer are valid.
std::size_t lastKeptIndex(const std::string& folder, const std::vector<PatternFile>& files,
                          int keep) {
  int valid = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    PatternInfo info;
    if (checkPatternFile(pathIn(folder, files[i].name), info, true) == FileCheck::kOk &&
        ++valid == keep)
      return i;
  }
  return files.size();
}

}  // namespace

int ZRInit(int, const char* caller, int, ZRHandle* handle) {
  return guarded([&] {
    if (!caller || !handle) return refused(FileCheck::kBadArgument);
    if (faultInjected("ZRInit")) return kEngineInternal;
    auto session = std::make_unique<Session>();
    session->caller = caller;
    std::lock_guard<std::mutex> lock(g_sessionsMutex);
    g_sessions.insert(session.get());
    *handle = session.release();
    return 0;
  });
}

int ZRQuit(ZRHandle handle) {
  return guarded([&] {
    std::lock_guard<std::mutex> lock(g_sessionsMutex);
    Session* session = static_cast<Session*>(handle);
    if (g_sessions.erase(session) == 0) return refused(FileCheck::kBadArgument);
    delete session;
    return 0;
  });
}

int ZRGetVersion(ZREngineVersion* version) {
  return guarded([&] {
    if (!version) return refused(FileCheck::kBadArgument);
    if (faultInjected("ZRGetVersion")) return kEngineInternal;
    *version = {ORVEL_ENGINE_MAJOR, ORVEL_ENGINE_MINOR, kFormatVersion, ORVEL_ENGINE_BUILD};
    return 0;
  });
}

// The newest pattern of the base that passes the check; when none does, the reason the newest
// file was refused.
int ZRGetLastPattern(const char* folder, const char* base, ZRPatternEntry* entry, int validate) {
  return guarded([&] {
    const PatternBase* known = findPatternBase(base);
    if (!folder || !entry || !known) return refused(FileCheck::kBadArgument);
    const std::string dir = osPath(folder);
    const std::vector<PatternFile> files = listPatternFiles(dir, *known);
    if (files.empty()) return refused(FileCheck::kMissing);
    FileCheck newest = FileCheck::kOk;
    for (const PatternFile& file : files) {
      PatternInfo info;
      const FileCheck check = checkPatternFile(pathIn(dir, file.name), info, validate != 0);
      if (check == FileCheck::kOk) {
        fillEntry(*entry, file.name, file.number, info.internalVersion);
        return 0;
      }
      if (newest == FileCheck::kOk) newest = check;
    }
    return refused(newest);
  });
}

int ZRGetPatternInternalVersion(const char* path, std::uint32_t* internalVersion,
                                std::uint16_t* patternNumber) {
  return guarded([&] {
    if (!path || !internalVersion || !patternNumber) return refused(FileCheck::kBadArgument);
    PatternInfo info;
    const FileCheck check = checkPatternFile(osPath(path), info, true);
    if (check != FileCheck::kOk) return refused(check);
    *internalVersion = info.internalVersion;
    *patternNumber = info.number;
    return 0;
  });
}

int ZRGetPatternList(const char* folder, const char* base, ZRPatternEntry* list, int* count,
                     int validate) {
  return guarded([&] {
    const PatternBase* known = findPatternBase(base);
    if (!folder || !count || !known || (list && *count < 0))
      return refused(FileCheck::kBadArgument);
    const std::string dir = osPath(folder);
    const std::vector<PatternFile> files = listPatternFiles(dir, *known);
    if (!list) {
      *count = static_cast<int>(files.size());
      return *count;
    }
    const std::size_t filled = std::min(files.size(), static_cast<std::size_t>(*count));
    for (std::size_t i = 0; i < filled; ++i) {
      PatternInfo info;
      const bool read =
          checkPatternFile(pathIn(dir, files[i].name), info, validate != 0) == FileCheck::kOk;
      fillEntry(list[i], files[i].name, files[i].number, read ? info.internalVersion : 0);
    }
    *count = static_cast<int>(filled);
    return 0;
  });
}

// Keeps the newest keep valid patterns and deletes every older file of the base. Files newer than
// the newest valid one (a download still being written, a damaged one) are not the engine's to
// remove.
int ZRDeleteUnusedPattern(const char* folder, const char* base, int keep) {
  return guarded([&] {
    const PatternBase* known = findPatternBase(base);
    if (!folder || !known || keep < 1) return refused(FileCheck::kBadArgument);
    const std::string dir = osPath(folder);
    const std::vector<PatternFile> files = listPatternFiles(dir, *known);
    int deleted = 0;
    for (std::size_t i = lastKeptIndex(dir, files, keep) + 1; i < files.size(); ++i) {
      std::error_code ec;
      if (fs::remove(pathIn(dir, files[i].name), ec)) ++deleted;
    }
    return deleted;
  });
}
