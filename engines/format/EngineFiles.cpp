#include "OrvelEngines/EngineFiles.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace OrvelEngines {

namespace {

constexpr char kPatternMagic[4] = {'K', 'F', 'P', 'T'};
constexpr char kRuleMagic[4] = {'K', 'F', 'R', 'L'};
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kHeaderCrcBytes = 28;
constexpr unsigned kMaxPatternNumber = 65535;
constexpr unsigned kRuleVersionPerBase = 1000;

struct Header {
  char magic[4];
  std::uint16_t format;
  std::uint16_t kind;
  std::uint32_t first;   // pattern: internal version; rule: base
  std::uint32_t second;  // pattern: pattern number; rule: base * 1000 + incremental
  std::uint64_t payloadSize;
  std::uint32_t payloadCrc;
};

void putLittleEndian(unsigned char* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::uint32_t crcOf(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

std::array<unsigned char, kHeaderSize> encodeHeader(const Header& h) {
  std::array<unsigned char, kHeaderSize> bytes{};
  std::memcpy(bytes.data(), h.magic, 4);
  putLittleEndian(&bytes[4], h.format, 2);
  putLittleEndian(&bytes[6], h.kind, 2);
  putLittleEndian(&bytes[8], h.first, 4);
  putLittleEndian(&bytes[12], h.second, 4);
  putLittleEndian(&bytes[16], h.payloadSize, 8);
  putLittleEndian(&bytes[24], h.payloadCrc, 4);
  putLittleEndian(&bytes[28], crcOf(0, bytes.data(), kHeaderCrcBytes), 4);
  return bytes;
}

FileCheck openForReading(const std::string& path, std::ifstream& in) {
  in.open(path, std::ios::binary);
  if (in) return FileCheck::kOk;
  std::error_code ec;
  return fs::exists(path, ec) ? FileCheck::kUnreadable : FileCheck::kMissing;
}

// Reads and checks the header of a file of the given magic and its size.
FileCheck readHeader(const std::string& path, const char (&magic)[4], Header& h) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return FileCheck::kUnreadable;
  std::ifstream in;
  const FileCheck opened = openForReading(path, in);
  if (opened != FileCheck::kOk) return opened;
  std::array<unsigned char, kHeaderSize> bytes{};
  in.read(reinterpret_cast<char*>(bytes.data()), kHeaderSize);
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  if (got >= 4 && std::memcmp(bytes.data(), magic, 4) != 0) return FileCheck::kBadMagic;
  if (got < kHeaderSize) return FileCheck::kTruncated;
  if (getLittleEndian(&bytes[28], 4) != crcOf(0, bytes.data(), kHeaderCrcBytes))
    return FileCheck::kBadHeader;
  std::memcpy(h.magic, bytes.data(), 4);
  h.format = static_cast<std::uint16_t>(getLittleEndian(&bytes[4], 2));
  h.kind = static_cast<std::uint16_t>(getLittleEndian(&bytes[6], 2));
  h.first = static_cast<std::uint32_t>(getLittleEndian(&bytes[8], 4));
  h.second = static_cast<std::uint32_t>(getLittleEndian(&bytes[12], 4));
  h.payloadSize = getLittleEndian(&bytes[16], 8);
  h.payloadCrc = static_cast<std::uint32_t>(getLittleEndian(&bytes[24], 4));
  if (h.format != kFormatVersion) return FileCheck::kBadHeader;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return FileCheck::kUnreadable;
  if (size != kHeaderSize + h.payloadSize) return FileCheck::kTruncated;
  return FileCheck::kOk;
}

FileCheck checkPayload(const std::string& path, const Header& h) {
  std::uint32_t crc = 0;
  if (!payloadChecksum(path, crc)) return FileCheck::kUnreadable;
  return crc == h.payloadCrc ? FileCheck::kOk : FileCheck::kBadChecksum;
}

// Deterministic content: the same kind gives the same bytes at the same place in every version
// (so that deltas between versions stay small); the versions are stamped at every chunk start.
class PayloadSource {
 public:
  PayloadSource(std::uint16_t kind, std::uint32_t first, std::uint32_t second)
      : m_state(0x9E3779B97F4A7C15ull ^ (std::uint64_t{kind} << 32) ^ 0x5EEDull),
        m_first(first),
        m_second(second) {}

  void fill(unsigned char* chunk, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 8) {
      const std::uint64_t word = next();
      std::memcpy(chunk + i, &word, std::min<std::size_t>(8, size - i));
    }
    if (size >= 8) {
      putLittleEndian(chunk, m_first, 4);
      putLittleEndian(chunk + 4, m_second, 4);
    }
  }

 private:
  std::uint64_t next() {
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return m_state * 0x2545F4914F6CDD1Dull;
  }

  std::uint64_t m_state;
  std::uint32_t m_first;
  std::uint32_t m_second;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Writes header and payload under a temporary name and renames it into place when whole, so
// that a reader never sees a half-written file under the final name.
FileCheck writeFormatFile(const std::string& path, Header h) {
  const std::string partial = path + ".part";
  std::unique_ptr<std::FILE, FileCloser> out(std::fopen(partial.c_str(), "wb"));
  if (!out) return FileCheck::kIoError;
  h.payloadCrc = 0;
  bool ok = std::fwrite(encodeHeader(h).data(), 1, kHeaderSize, out.get()) == kHeaderSize;
  PayloadSource source(h.kind, h.first, h.second);
  std::vector<unsigned char> chunk(kChunkBytes);
  std::uint32_t crc = 0;
  for (std::uint64_t left = h.payloadSize; ok && left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunkBytes));
    source.fill(chunk.data(), n);
    crc = crcOf(crc, chunk.data(), n);
    ok = std::fwrite(chunk.data(), 1, n, out.get()) == n;
    left -= n;
  }
  h.payloadCrc = crc;
  ok = ok && std::fseek(out.get(), 0, SEEK_SET) == 0 &&
       std::fwrite(encodeHeader(h).data(), 1, kHeaderSize, out.get()) == kHeaderSize;
  ok = std::fclose(out.release()) == 0 && ok;
  std::error_code ec;
  if (ok) fs::rename(partial, path, ec);
  if (!ok || ec) {
    fs::remove(partial, ec);
    return FileCheck::kIoError;
  }
  return FileCheck::kOk;
}

std::vector<std::string> fileNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError)) names.push_back(it->path().filename().string());
  }
  return names;
}

bool allDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const char* ruleExtension(RuleKind kind) {
  switch (kind) {
    case RuleKind::kExpressions:
      return ".exp";
    case RuleKind::kSignatures:
      return ".sig";
    case RuleKind::kHashes:
      return ".hsh";
    case RuleKind::kPhishing:
      return ".phi";
    default:
      return ".rul";
  }
}

std::string joinPath(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

const char* fileCheckText(FileCheck check) {
  switch (check) {
    case FileCheck::kOk:
      return "valid";
    case FileCheck::kBadArgument:
      return "invalid argument";
    case FileCheck::kMissing:
      return "missing";
    case FileCheck::kUnreadable:
      return "unreadable";
    case FileCheck::kBadMagic:
      return "not a file of this format";
    case FileCheck::kBadHeader:
      return "damaged header";
    case FileCheck::kTruncated:
      return "size differs from the header";
    case FileCheck::kBadChecksum:
      return "payload checksum mismatch";
    case FileCheck::kZeroVersion:
      return "version 0";
    case FileCheck::kNameMismatch:
      return "name does not match the header";
    case FileCheck::kIoError:
      return "write failed";
  }
  return "unknown";
}

const std::vector<PatternBase>& patternBases() {
  static const std::vector<PatternBase> bases = {
      {PatternKind::kVirus, "ksv$pat.", "ksv$pat", "%3d"},
      {PatternKind::kSpyware, "spyxdb.", "spyxdb", "%3d"},
      {PatternKind::kLurebox, "qxblack.", "qxblack", "%3d"},
      {PatternKind::kLureboxException, "qxwhite.", "qxwhite", "%3d"},
      {PatternKind::kCloudsift, "cldx$agt.", "cldx$agt", "%03d"},
  };
  return bases;
}

const PatternBase* findPatternBase(const char* name) {
  // The virus pattern is the engine's default base: callers may name it by nothing at all.
  if (!name || !*name) return &patternBases().front();
  for (const PatternBase& base : patternBases()) {
    if (std::strcmp(name, base.prefix) == 0 || std::strcmp(name, base.shortName) == 0) return &base;
  }
  return nullptr;
}

const PatternBase* patternBaseOf(PatternKind kind) {
  for (const PatternBase& base : patternBases()) {
    if (base.kind == kind) return &base;
  }
  return nullptr;
}

std::string patternFileName(PatternKind kind, unsigned number) {
  const PatternBase* base = patternBaseOf(kind);
  if (!base) return std::string();
  char digits[16];
  std::snprintf(digits, sizeof digits, base->numberFormat, static_cast<int>(number));
  return std::string(base->prefix) + digits;
}

int patternNumberOfName(const PatternBase& base, const std::string& name) {
  const std::size_t prefixLength = std::strlen(base.prefix);
  if (name.size() <= prefixLength || name.compare(0, prefixLength, base.prefix) != 0) return -1;
  std::string rest = name.substr(prefixLength);
  if (rest.size() > 5) return -1;
  rest.erase(0, rest.find_first_not_of(' '));
  if (!allDigits(rest)) return -1;
  const unsigned long number = std::stoul(rest);
  return number <= kMaxPatternNumber ? static_cast<int>(number) : -1;
}

FileCheck checkPatternFile(const std::string& path, PatternInfo& info, bool checkPayloadToo) {
  if (path.empty()) return FileCheck::kBadArgument;
  const std::string name = fs::path(path).filename().string();
  const PatternBase* base = nullptr;
  int nameNumber = -1;
  for (const PatternBase& candidate : patternBases()) {
    nameNumber = patternNumberOfName(candidate, name);
    if (nameNumber >= 0) {
      base = &candidate;
      break;
    }
  }
  if (!base) return FileCheck::kNameMismatch;
  Header h{};
  const FileCheck header = readHeader(path, kPatternMagic, h);
  if (header != FileCheck::kOk) return header;
  if (h.first == 0 || h.second == 0) return FileCheck::kZeroVersion;
  if (h.kind != static_cast<std::uint16_t>(base->kind) ||
      h.second != static_cast<unsigned>(nameNumber))
    return FileCheck::kNameMismatch;
  if (checkPayloadToo) {
    const FileCheck payload = checkPayload(path, h);
    if (payload != FileCheck::kOk) return payload;
  }
  info.kind = base->kind;
  info.internalVersion = h.first;
  info.number = static_cast<std::uint16_t>(h.second);
  info.payloadSize = h.payloadSize;
  return FileCheck::kOk;
}

std::vector<PatternFile> listPatternFiles(const std::string& folder, const PatternBase& base) {
  std::vector<PatternFile> files;
  for (const std::string& name : fileNames(folder)) {
    const int number = patternNumberOfName(base, name);
    if (number >= 0) files.push_back({name, static_cast<unsigned>(number)});
  }
  std::sort(files.begin(), files.end(), [](const PatternFile& a, const PatternFile& b) {
    return a.number != b.number ? a.number > b.number : a.name < b.name;
  });
  return files;
}

FileCheck writePatternFile(const std::string& folder, PatternKind kind,
                           std::uint32_t internalVersion, std::uint16_t number,
                           std::uint64_t payloadSize, std::string* path) {
  if (!patternBaseOf(kind)) return FileCheck::kBadArgument;
  const std::string target = joinPath(folder, patternFileName(kind, number));
  Header h{{kPatternMagic[0], kPatternMagic[1], kPatternMagic[2], kPatternMagic[3]},
           kFormatVersion,
           static_cast<std::uint16_t>(kind),
           internalVersion,
           number,
           payloadSize,
           0};
  if (path) *path = target;
  return writeFormatFile(target, h);
}

const std::vector<RuleKind>& ruleSetKinds() {
  static const std::vector<RuleKind> kinds = {RuleKind::kBase, RuleKind::kExpressions,
                                              RuleKind::kSignatures, RuleKind::kHashes,
                                              RuleKind::kPhishing};
  return kinds;
}

std::string ruleFileName(RuleKind kind, unsigned base, unsigned incremental) {
  char name[32];
  if (kind == RuleKind::kIncremental) {
    std::snprintf(name, sizeof name, "qx%06u-%03u.rul", base, incremental);
  } else {
    std::snprintf(name, sizeof name, "qx%06u%s", base, ruleExtension(kind));
  }
  return name;
}

bool parseRuleFileName(const std::string& name, RuleName& out) {
  if (name.size() < 12 || name.compare(0, 2, "qx") != 0) return false;
  const std::string base = name.substr(2, 6);
  if (!allDigits(base)) return false;
  const std::string rest = name.substr(8);
  out.base = static_cast<unsigned>(std::stoul(base));
  out.incremental = 0;
  if (rest.size() == 8 && rest[0] == '-' && rest.compare(4, 4, ".rul") == 0 &&
      allDigits(rest.substr(1, 3))) {
    out.kind = RuleKind::kIncremental;
    out.incremental = static_cast<unsigned>(std::stoul(rest.substr(1, 3)));
    return out.incremental != 0;
  }
  for (RuleKind kind : ruleSetKinds()) {
    if (rest == ruleExtension(kind)) {
      out.kind = kind;
      return true;
    }
  }
  return false;
}

FileCheck checkRuleFile(const std::string& path) {
  if (path.empty()) return FileCheck::kBadArgument;
  RuleName name{};
  if (!parseRuleFileName(fs::path(path).filename().string(), name)) return FileCheck::kNameMismatch;
  Header h{};
  const FileCheck header = readHeader(path, kRuleMagic, h);
  if (header != FileCheck::kOk) return header;
  if (h.first == 0 || name.base == 0) return FileCheck::kZeroVersion;
  if (h.kind != static_cast<std::uint16_t>(name.kind) || h.first != name.base ||
      h.second != name.base * kRuleVersionPerBase + name.incremental)
    return FileCheck::kNameMismatch;
  return checkPayload(path, h);
}

std::vector<unsigned> ruleBases(const std::string& folder) {
  std::vector<unsigned> bases;
  for (const std::string& file : fileNames(folder)) {
    RuleName name{};
    if (parseRuleFileName(file, name) && name.kind == RuleKind::kBase) bases.push_back(name.base);
  }
  std::sort(bases.rbegin(), bases.rend());
  bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
  return bases;
}

std::vector<std::string> ruleFilesOfBase(const std::string& folder, unsigned base) {
  std::vector<std::string> files;
  for (const std::string& file : fileNames(folder)) {
    RuleName name{};
    if (parseRuleFileName(file, name) && name.base == base) files.push_back(file);
  }
  std::sort(files.begin(), files.end());
  return files;
}

RuleSetState newestRuleSet(const std::string& folder) {
  const std::vector<unsigned> bases = ruleBases(folder);
  if (bases.empty()) return RuleSetState();
  return ruleSetState(folder, bases.front());
}

RuleSetState ruleSetState(const std::string& folder, unsigned base) {
  RuleSetState state;
  unsigned highest = 0;
  std::vector<std::string> files;
  for (RuleKind kind : ruleSetKinds()) files.push_back(ruleFileName(kind, base));
  for (const std::string& file : ruleFilesOfBase(folder, base)) {
    RuleName name{};
    if (parseRuleFileName(file, name) && name.kind == RuleKind::kIncremental) {
      files.push_back(file);
      highest = std::max(highest, name.incremental);
    }
  }
  std::error_code ec;
  state.found = fs::is_regular_file(joinPath(folder, files.front()), ec);
  // Every file of the set must be sound: a damaged one means the set was not delivered whole,
  // whatever the others say.
  for (const std::string& file : files) {
    const FileCheck check = checkRuleFile(joinPath(folder, file));
    if (check != FileCheck::kOk) {
      state.check = check;
      return state;
    }
  }
  state.check = FileCheck::kOk;
  state.base = base;
  state.ruleVersion = base * kRuleVersionPerBase + highest;
  state.fileCount = static_cast<unsigned>(files.size());
  state.files = files;
  return state;
}

FileCheck writeRuleFile(const std::string& folder, RuleKind kind, unsigned base,
                        unsigned incremental, std::uint64_t payloadSize, std::string* path) {
  if (base > kMaxRuleBase || incremental > kMaxIncremental ||
      (kind == RuleKind::kIncremental) != (incremental != 0))
    return FileCheck::kBadArgument;
  const std::string target = joinPath(folder, ruleFileName(kind, base, incremental));
  Header h{{kRuleMagic[0], kRuleMagic[1], kRuleMagic[2], kRuleMagic[3]},
           kFormatVersion,
           static_cast<std::uint16_t>(kind),
           base,
           base * kRuleVersionPerBase + incremental,
           payloadSize,
           0};
  if (path) *path = target;
  return writeFormatFile(target, h);
}

FileCheck writeRuleSet(const std::string& folder, unsigned base, unsigned incrementals,
                       std::uint64_t payloadSize) {
  for (RuleKind kind : ruleSetKinds()) {
    const FileCheck written = writeRuleFile(folder, kind, base, 0, payloadSize);
    if (written != FileCheck::kOk) return written;
  }
  for (unsigned n = 1; n <= incrementals; ++n) {
    const FileCheck written = writeRuleFile(folder, RuleKind::kIncremental, base, n, payloadSize);
    if (written != FileCheck::kOk) return written;
  }
  return FileCheck::kOk;
}

std::string osPath(const char* path) {
  std::string converted = path ? path : "";
  std::replace(converted.begin(), converted.end(), '\\', '/');
  return converted;
}

bool payloadChecksum(const std::string& path, std::uint32_t& crc) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(static_cast<std::streamoff>(kHeaderSize));
  std::vector<unsigned char> chunk(kChunkBytes);
  crc = 0;
  while (in) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    crc = crcOf(crc, chunk.data(), got);
  }
  return in.eof();
}

}  // namespace OrvelEngines
