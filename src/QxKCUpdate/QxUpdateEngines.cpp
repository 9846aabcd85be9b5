// Verification of downloaded components by the scan engines themselves. The update object never
// reads an engine or pattern file on its own: it loads the engine, asks it, and releases it before
// returning, whatever the outcome.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "OrvelKF/QxUpdate.h"
#include "OrvelKF/VersionText.h"
#include "OrvelPlatform/Path.h"
#include "OrvelPlatform/SystemError.h"
#include "QxUpdateEngineCalls.h"

using ORVEL::Log;
using ORVEL::ORVEL_LOG_ERROR;
using ORVEL::ORVEL_LOG_TRACE;
using OrvelPlatform::SharedLibrary;
using namespace QxEngineCalls;

namespace QxEngineCalls {

SharedLibrary loadEngine(const char* path) {
  const std::string osPath = OrvelPlatform::toOsPath(path);
  struct stat info {};
  // The loader's reason is a text, not an error number: give the one the system would, so that
  // the caller's message tells a missing engine from a file that is not one.
  if (::stat(osPath.c_str(), &info) != 0) {
    OrvelPlatform::setLastError(ENOENT);
    return SharedLibrary();
  }
  if (::access(osPath.c_str(), R_OK) != 0) {
    OrvelPlatform::setLastError(EACCES);
    return SharedLibrary();
  }
  OrvelPlatform::setErrorMode(1);
  SharedLibrary engine(path);
  OrvelPlatform::setErrorMode(0);
  // The loader may leave an error number from its own probing; a later refusal of the engine must
  // not be explained by it.
  OrvelPlatform::setLastError(engine.loaded() ? 0 : ENOEXEC);
  return engine;
}

void noteMissingExport() { OrvelPlatform::setLastError(ENOSYS); }

void releaseKeepingError(SharedLibrary& engine) {
  const int error = OrvelPlatform::lastError();
  engine.release();
  OrvelPlatform::setLastError(error);
}

}  // namespace QxEngineCalls

namespace {

constexpr std::size_t kEngineLibraryPathBytes = 255;
constexpr std::size_t kPatternPathBytes = 512;
constexpr std::size_t kVersionTextBytes = 64;
constexpr std::size_t kRuleTextBytes = 256;
constexpr const char* kQxufeProduct = "KXORVEL75";
constexpr const char* kQxufePrefix = "KX";

const char* orNull(const char* text) { return text ? text : "(null)"; }
bool isEmpty(const char* text) { return !text || !*text; }

bool isZiranType(int type) {
  return (type >= SCAN_ENGINE && type <= LUREBOX_EXCEPTION) || type == DEXA_ENGINE ||
         type == CLOUDSIFT_AGENT_PATTERN;
}

// The pattern file base names of the virus-scan engine, with their trailing dot.
const char* ziranPatternBase(int type) {
  switch (type) {
    case VIRUS_PATTERN:
      return "ksv$pat.";
    case SPYWARE_PATTERN:
      return "spyxdb.";
    case LUREBOX_PATTERN:
      return "qxblack.";
    case LUREBOX_EXCEPTION:
      return "qxwhite.";
    case CLOUDSIFT_AGENT_PATTERN:
      return "cldx$agt.";
    default:
      return nullptr;
  }
}

// Engine versions show the minor number with three digits; a minor of 0 is written "000".
template <typename Number>
std::string engineVersionText(const char* format, const char* zeroMinorFormat, Number major,
                              Number minor, Number build) {
  const auto scaled = static_cast<Number>(kfScaleMinorVersion(static_cast<unsigned>(minor)));
  char text[kVersionTextBytes];
  if (scaled == 0) {
    std::snprintf(text, sizeof text, zeroMinorFormat, major, build);
  } else {
    std::snprintf(text, sizeof text, format, major, scaled, build);
  }
  return text;
}

struct ZiranCalls {
  ZRInitFn init = nullptr;
  ZRQuitFn quit = nullptr;
  ZRGetLastPatternFn lastPattern = nullptr;
  ZRGetVersionFn version = nullptr;
  ZRGetPatternInternalVersionFn internalVersion = nullptr;
};

bool bindZiranCalls(const SharedLibrary& engine, ZiranCalls& calls) {
  return (calls.init = bindExport<ZRInitFn>(engine, "ZRInit")) &&
         (calls.quit = bindExport<ZRQuitFn>(engine, "ZRQuit")) &&
         (calls.lastPattern = bindExport<ZRGetLastPatternFn>(engine, "ZRGetLastPattern")) &&
         (calls.version = bindExport<ZRGetVersionFn>(engine, "ZRGetVersion")) &&
         (calls.internalVersion =
              bindExport<ZRGetPatternInternalVersionFn>(engine, "ZRGetPatternInternalVersion"));
}

// The update object's way of appending the text of a message key to the caller's message.
using ErrAppender = void (*)(std::string&, ORVEL::QxResbundle*, const char*);

bool ziranEngineVersion(const ZiranCalls& calls, QxUpdateVersion& version, std::string& msg,
                        ORVEL::QxResbundle* bundle, ErrAppender appendError) {
  ZREngineVersion reported{0, 0, 0, 0};
  if (calls.version(&reported) != 0) {
    appendError(msg, bundle, "KF_ZIRAN_ERR");
    return false;
  }
  version.strVersion = engineVersionText<int>("%d.%d.%d", "%d.000.%d", reported.iMajor,
                                              reported.iMinor, reported.iBuild);
  return true;
}

bool ziranPatternVersion(const ZiranCalls& calls, const char* patternPath, int type,
                         QxUpdateVersion& version, std::string& msg, ORVEL::QxResbundle* bundle,
                         ErrAppender appendError) {
  const char* base = ziranPatternBase(type);
  ZRPatternEntry entry{};
  const int found = calls.lastPattern(patternPath, base, &entry, 1);
  Log::LogByLevel(ORVEL_LOG_ERROR,
                  "QxUpdate::verifyByZIRAN: the downloaded pattern %s %s verify result=%d",
                  patternPath, base, found);
  if (found != 0) {
    appendError(msg, bundle, "KF_PTN_READERR");
    return false;
  }
  char path[kPatternPathBytes];
  std::snprintf(path, sizeof path, "%s/%s%3d", patternPath, base, entry.iPatternNumber);
  std::uint32_t internal = 0;
  std::uint16_t number = 0;
  if (calls.internalVersion(path, &internal, &number) != 0) {
    appendError(msg, bundle, "KF_PTN_READERR");
    return false;
  }
  version.uiInternalVersion = internal;
  version.usPatternNumber = number;
  formatPatternVersion(internal, version.strVersion);
  return true;
}

}  // namespace

bool QxUpdate::verifyByZIRAN(char* enginePath, char* patternPath, QxUpdateType type,
                             std::string& msg, QxUpdateVersion& version,
                             ORVEL::QxResbundle* bundle) {
  Log::LogByLevel(
      ORVEL_LOG_ERROR,
      "QxUpdate::verifyByZIRAN PatternCheck start. enginepath = %s, patternpath = %s, type = %d",
      orNull(enginePath), orNull(patternPath), type);
  if (isEmpty(enginePath) || isEmpty(patternPath)) return false;
  if (!isZiranType(type)) {
    Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::verifyByZIRAN type = %d not ZIRAN PTN ENG", type);
    return false;
  }
  version.usPatternNumber = 0;
  version.uiInternalVersion = 0;
  version.strVersion.clear();

  char libraryPath[kEngineLibraryPathBytes];
  std::snprintf(libraryPath, sizeof libraryPath,
                type == DEXA_ENGINE ? "%s/dexa32.dll" : "%s\\ziran32.dll", enginePath);
  SharedLibrary engine = loadEngine(libraryPath);
  Log::LogByLevel(ORVEL_LOG_ERROR, "QxUpdate::verifyByZIRAN load engine = %s", libraryPath);
  ZiranCalls calls;
  if (!engine.loaded() || !bindZiranCalls(engine, calls)) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  void* handle = nullptr;
  if (calls.init(0, kZRCaller, 0, &handle) < 0) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  const bool verified =
      type == SCAN_ENGINE || type == DEXA_ENGINE
          ? ziranEngineVersion(calls, version, msg, bundle, &QxUpdate::_getErrString)
          : ziranPatternVersion(calls, patternPath, type, version, msg, bundle,
                                &QxUpdate::_getErrString);
  calls.quit(handle);
  if (verified) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::verifyByZIRAN: the downloaded engine/pattern verified OK");
  }
  return verified;
}

bool QxUpdate::verifyByQXUFE(const std::string& enginePath, QxUpdateVersion& version,
                             std::string& msg, ORVEL::QxResbundle* bundle) {
  if (enginePath.empty()) return false;
  const std::string libraryPath = enginePath + "\\" + "qxufeng.dll";
  SharedLibrary engine = loadEngine(libraryPath.c_str());
  if (!engine.loaded()) {
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  const auto verify = [&]() -> bool {
    QxUfInitFn init = nullptr;
    QxUfGetVersionFn getVersion = nullptr;
    QxUfUninitFn uninit = nullptr;
    if (!(init = bindExport<QxUfInitFn>(engine, "QX_UF_initEngEx")) ||
        !(getVersion = bindExport<QxUfGetVersionFn>(engine, "QX_UF_getEngineVersion")) ||
        !(uninit = bindExport<QxUfUninitFn>(engine, "QX_UF_uninitEngEx"))) {
      releaseKeepingError(engine);
      _getErrString(msg, bundle, nullptr);
      return false;
    }
    // The reason appended is the engine's last error, not one the log line leaves behind.
    const auto refuse = [&](const char* format, int ret) {
      const int error = OrvelPlatform::lastError();
      Log::LogByLevel(ORVEL_LOG_ERROR, format, ret);
      OrvelPlatform::setLastError(error);
      _getErrString(msg, bundle, nullptr);
      return false;
    };
    int ret = init(kQxufeProduct, kQxufePrefix, 0);
    if (ret <= 0)
      return refuse("QxUpdate::verifyByQXUFE: ERROR: initialize QXUFE engine failed: retcode=%d",
                    ret);
    unsigned major = 0, minor = 0, build = 0, unused = 0;
    ret = getVersion(&major, &minor, &build, &unused);
    if (ret <= 0) {
      refuse("QxUpdate::verifyByQXUFE: ERROR: get QXUFE engine version failed: retcode=%d", ret);
      // Initialised is initialised: an engine left so would hold its resources past the release.
      uninit();
      return false;
    }
    ret = uninit();
    if (ret <= 0)
      return refuse("QxUpdate::verifyByQXUFE: ERROR: uninitialize QXUFE engine failed: retcode=%d",
                    ret);
    version.strVersion = engineVersionText<unsigned>("%u.%u.%u", "%u.000.%u", major, minor, build);
    return true;
  };
  const bool verified = verify();
  engine.release();
  Log::LogByLevel(ORVEL_LOG_TRACE, "QxUpdate::verifyByQXUFE: return=%s version=%s msg=%s",
                  verified ? "true" : "false", version.strVersion.c_str(), msg.c_str());
  return verified;
}

bool QxUpdate::verifyQxaseEngine(const std::string& enginePath, std::string& version,
                                 std::string& msg, ORVEL::QxResbundle* bundle) {
  if (enginePath.empty()) return false;
  SharedLibrary engine = loadEngine(enginePath.c_str());
  const auto getVersion = engine.loaded()
                              ? bindExport<QxAsGetEngineVersionFn>(engine, "QX_AS_getEngineVersion")
                              : nullptr;
  if (!getVersion) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  int major = 0, minor = 0, build = 0, unused = 0;
  // Only the numbers tell: the engine's result is not a verdict on itself.
  getVersion(&major, &minor, &build, &unused);
  if (major <= 0) {
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  char text[kVersionTextBytes];
  std::snprintf(text, sizeof text, "%d.%d.%d", major, minor, build);
  version = text;
  return true;
}

bool QxUpdate::verifyQxasePattern(const std::string& enginePath, const std::string& patternPath,
                                  unsigned int& baseVersion, unsigned int& ruleVersion,
                                  std::string& msg, ORVEL::QxResbundle* bundle) {
  if (enginePath.empty() || patternPath.empty()) return false;
  SharedLibrary engine = loadEngine(enginePath.c_str());
  const auto ruleFileVersion =
      engine.loaded() ? bindExport<QxAsGetRuleFileVerFn>(engine, "QX_AS_getRuleFileVerInDirEx")
                      : nullptr;
  if (!ruleFileVersion) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  int fileCount = 0, format = 0, found = 0;
  unsigned base = 0, rule = 0;
  char text[kRuleTextBytes] = "";
  ruleFileVersion(patternPath.c_str(), &fileCount, &format, &base, &rule, text,
                  static_cast<int>(sizeof text), &found);
  baseVersion = base;
  ruleVersion = rule;
  if (found == 0) {
    Log::LogByLevel(ORVEL_LOG_ERROR,
                    "QxUpdate::verifyQxasePattern: L_QX_AS_getRuleFileVerInDirEx call failed");
    _getErrString(msg, bundle, "KF_FILE_CORRUPT");
    return false;
  }
  if (base == 0 || rule == 0) {
    Log::LogByLevel(
        ORVEL_LOG_ERROR,
        "QxUpdate::verifyQxasePattern: The integrety check detected the downloaded anti-spam "
        "pattern to be invalid.");
    _getErrString(msg, bundle, "KF_FILE_CORRUPT");
    return false;
  }
  return true;
}

bool QxUpdate::buildQXASECache(const std::string& enginePath, const std::string& patternPath,
                               const std::string& cachePath, std::string& msg,
                               ORVEL::QxResbundle* bundle) {
  if (enginePath.empty() || patternPath.empty()) return false;
  SharedLibrary engine = loadEngine(enginePath.c_str());
  QxAsBuildCacheFn buildCache = nullptr;
  QxAsInitFn init = nullptr;
  QxAsUninitFn uninit = nullptr;
  if (!engine.loaded() ||
      !(buildCache = bindExport<QxAsBuildCacheFn>(engine, "QX_AS_buildCache")) ||
      !(init = bindExport<QxAsInitFn>(engine, "QX_AS_initEngine")) ||
      !(uninit = bindExport<QxAsUninitFn>(engine, "QX_AS_uninitEngine"))) {
    releaseKeepingError(engine);
    _getErrString(msg, bundle, nullptr);
    return false;
  }
  init();
  int ruleFiles = 0;
  const int built = buildCache(patternPath.c_str(), cachePath.c_str(), &ruleFiles);
  uninit();
  if (built >= 0) {
    Log::LogByLevel(ORVEL_LOG_TRACE,
                    "QxUpdate::buildQXASECache: generate QXASE pattern cache successful");
    return true;
  }
  Log::LogByLevel(ORVEL_LOG_ERROR,
                  "QxUpdate::buildQXASECache: Error: generate QXASE pattern cache failed");
  _getErrString(msg, bundle, "KF_BUILDCACHE_ERR");
  return false;
}
