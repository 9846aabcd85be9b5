// The product's log: one line per call, appended to a file below the product home.
//
// Lines go to $ORVEL_HOME/log/orvel.log (the "log" folder is created when missing; without
// ORVEL_HOME nothing is written). Each line reads
//
//   2024-05-01 13:07:42 [4711] <1> text of the caller
//
// with the local time, the process id and the level. The file is opened with O_APPEND and every
// line is handed to the kernel in one write(), so several processes can share the file without
// cutting into each other's lines.
//
// Filtering: a line is written when its level is at or below the threshold. The threshold is the
// one set by Configure() or SetThreshold(); until code sets one, ORVEL_LOG_LEVEL (a digit 0 to 4)
// is used, and without that kDefaultThreshold (2): errors and notable facts are written, tracing
// (3) and detail (4) are not. The update object traces at level 1 when debugging is on, so its
// trace reaches the file exactly then. Threshold 0 silences the log.
//
// Rotation: when the file reaches the size limit it becomes orvel.log.1 (orvel.log.1 becomes .2
// and so on; the oldest beyond the kept count is deleted). Rotation runs under an flock of
// orvel.log.lck in the same folder, and every writer compares the inode behind the name with the
// one it has open, so a process whose file was rotated away reopens the new one.
//
// Nothing here throws or fails the caller; a line that cannot be written is lost. Messages longer
// than kMaxLineBytes are cut. Line ends inside a message become blanks so that one call stays one
// line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#pragma GCC visibility push(default)

namespace ORVEL {

enum OrvelLogLevel {
  ORVEL_LOG_OFF = 0,     // as a threshold only: write nothing
  ORVEL_LOG_ERROR = 1,   // errors and notable facts
  ORVEL_LOG_NOTICE = 2,  // facts worth keeping in a normal run
  ORVEL_LOG_TRACE = 3,   // entering and leaving operations
  ORVEL_LOG_DETAIL = 4,  // detail of schedule and service operations
};

class Log {
 public:
  static constexpr int kDefaultThreshold = ORVEL_LOG_NOTICE;
  static constexpr std::uint64_t kDefaultMaxBytes = 10u * 1024u * 1024u;
  static constexpr int kDefaultKeep = 5;
  static constexpr std::size_t kMaxLineBytes = 8192;
  static constexpr const char* kFileName = "orvel.log";

  static void LogByLevel(OrvelLogLevel level, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  // An error for the file: written at level 1, so every threshold but 0 (silence) writes it.
  static void LogErrorToFile(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // Diagnostic detail for a developer: written at level 3 (tracing), so it shows up with
  // ORVEL_LOG_LEVEL=3 or above and stays out of a normal run.
  static void Debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // Points the log at a folder (null: back to $ORVEL_HOME/log) with a threshold (negative: from
  // ORVEL_LOG_LEVEL or the default), a size limit in bytes (0: never rotate) and the number of
  // rotated files to keep.
  static void Configure(const char* folder, int threshold,
                        std::uint64_t maxBytes = kDefaultMaxBytes, int keep = kDefaultKeep);
  // Negative: back to ORVEL_LOG_LEVEL or the default.
  static void SetThreshold(int threshold);
  static int Threshold();
  // The file lines go to now; empty when there is none (no ORVEL_HOME).
  static std::string FilePath();

  // Hands every line of this process, at any level and whatever the threshold, also to observer
  // (null: to none) without its time and process prefix, on the thread that logs it: a front end
  // shows what an operation is doing so. The observer must not log.
  using Observer = void (*)(int level, const char* text, void* context);
  static void SetObserver(Observer observer, void* context);
};

}  // namespace ORVEL

#pragma GCC visibility pop
