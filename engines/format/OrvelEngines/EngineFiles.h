// The files of the reference scan engines: pattern files of the virus-scan engine family and rule
// files of the anti-spam engine (engines/FORMATS.md describes both). This is the one code that
// writes and checks them; the engines, the pattern tool, tests, the demo and the feed publisher
// share it. Nothing here throws for a bad file: a check reports what is wrong with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace OrvelEngines {

constexpr std::size_t kHeaderSize = 32;
constexpr std::uint16_t kFormatVersion = 1;

// What a check found. The engines return these negated (0 is success).
enum class FileCheck : int {
  kOk = 0,
  kBadArgument = 1,
  kMissing = 2,       // no such file
  kUnreadable = 3,    // it exists but cannot be read
  kBadMagic = 4,      // not a file of this format (or of the other kind of engine)
  kBadHeader = 5,     // header checksum, format version or kind wrong
  kTruncated = 6,     // shorter (or longer) than the header says
  kBadChecksum = 7,   // the payload does not match its checksum
  kZeroVersion = 8,   // a version or number of 0
  kNameMismatch = 9,  // the file name does not tell what the header says
  kIoError = 10,      // a write failed
};
const char* fileCheckText(FileCheck check);

// ---- Pattern files of the virus-scan engine family -------------------------------------------

enum class PatternKind : std::uint16_t {
  kVirus = 1,
  kSpyware = 2,
  kLurebox = 3,
  kLureboxException = 4,
  kCloudsift = 10,
};

struct PatternBase {
  PatternKind kind;
  const char* prefix;        // the file name up to the number, with its dot: "ksv$pat."
  const char* shortName;     // the prefix without its dot: "ksv$pat"
  const char* numberFormat;  // how the number follows the prefix: "%3d" or "%03d"
};
const std::vector<PatternBase>& patternBases();
// By the prefix with or without its dot; null and "" name the virus pattern. Null when unknown.
const PatternBase* findPatternBase(const char* name);
const PatternBase* patternBaseOf(PatternKind kind);

std::string patternFileName(PatternKind kind, unsigned number);
// The pattern number a file name carries for that base (blanks or zeros may pad it); -1 when the
// name is not one of that base's names. The number may not exceed 65535.
int patternNumberOfName(const PatternBase& base, const std::string& name);

struct PatternInfo {
  PatternKind kind = PatternKind::kVirus;
  std::uint32_t internalVersion = 0;
  std::uint16_t number = 0;
  std::uint64_t payloadSize = 0;
};

// Checks the file at path as a pattern of the base its name gives: header, size, kind, a name
// that matches the header's number, non-zero versions and (checkPayload) the payload checksum.
FileCheck checkPatternFile(const std::string& path, PatternInfo& info, bool checkPayload);

struct PatternFile {
  std::string name;  // without folder
  unsigned number;
};
// The files of a folder whose names belong to the base, whatever their content, newest (highest
// number) first. A folder that cannot be read has none.
std::vector<PatternFile> listPatternFiles(const std::string& folder, const PatternBase& base);

// Writes a pattern file of payloadSize bytes into folder under its own name (any earlier file of
// that name is replaced once the new one is complete). The numbers are written as given, 0
// included, so that tests can make files the engines refuse. path receives the file's path.
FileCheck writePatternFile(const std::string& folder, PatternKind kind,
                           std::uint32_t internalVersion, std::uint16_t number,
                           std::uint64_t payloadSize, std::string* path = nullptr);

// ---- Rule files of the anti-spam engine --------------------------------------------------------

enum class RuleKind : std::uint16_t {
  kBase = 1,         // qx%06d.rul
  kExpressions = 2,  // qx%06d.exp
  kSignatures = 3,   // qx%06d.sig
  kHashes = 4,       // qx%06d.hsh
  kPhishing = 5,     // qx%06d.phi
  kIncremental = 6,  // qx%06d-%03d.rul
};
// The five files every rule set has, base file first.
const std::vector<RuleKind>& ruleSetKinds();

constexpr unsigned kMaxRuleBase = 999999;
constexpr unsigned kMaxIncremental = 999;

// incremental is used by kIncremental only (1 to 999).
std::string ruleFileName(RuleKind kind, unsigned base, unsigned incremental = 0);

struct RuleName {
  RuleKind kind;
  unsigned base;
  unsigned incremental;
};
// False when the name is not one of a rule file.
bool parseRuleFileName(const std::string& name, RuleName& out);

// Checks one rule file against what its name says (base and, for incremental files, the number).
FileCheck checkRuleFile(const std::string& path);

// What a rules folder holds: the newest base present and whether its set is whole and sound.
struct RuleSetState {
  bool found = false;        // at least one base rule file (qx%06d.rul) is present
  unsigned base = 0;         // the newest base; 0 when its set is not valid
  unsigned ruleVersion = 0;  // base * 1000 + highest incremental number; 0 when not valid
  unsigned fileCount = 0;    // files of the reported set
  FileCheck check = FileCheck::kMissing;  // why the newest set is not valid
  std::vector<std::string> files;         // names of the reported set
};
RuleSetState newestRuleSet(const std::string& folder);
// The same for one base of the folder.
RuleSetState ruleSetState(const std::string& folder, unsigned base);
// Every base that has a base rule file in the folder, newest first.
std::vector<unsigned> ruleBases(const std::string& folder);
// Names of every file of the folder that belongs to base (set files and incremental files).
std::vector<std::string> ruleFilesOfBase(const std::string& folder, unsigned base);

// Writes one rule file (payloadSize bytes) into folder.
FileCheck writeRuleFile(const std::string& folder, RuleKind kind, unsigned base,
                        unsigned incremental, std::uint64_t payloadSize,
                        std::string* path = nullptr);
// Writes the five files of a base and the incremental files 1 to incrementals.
FileCheck writeRuleSet(const std::string& folder, unsigned base, unsigned incrementals,
                       std::uint64_t payloadSize);

// ---- Shared helpers ----------------------------------------------------------------------------

// The engines take paths the product's way ("\" or "/"); a "\" becomes "/".
std::string osPath(const char* path);
// CRC-32 (zlib) of a whole file's payload after its header; false when it cannot be read.
bool payloadChecksum(const std::string& path, std::uint32_t& crc);

}  // namespace OrvelEngines
