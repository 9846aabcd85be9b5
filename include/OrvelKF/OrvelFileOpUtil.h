// File and folder operations of the library, and the directory listing they are built on.
//
// Paths are written the product's way: "\" separates (a "/" is accepted and normalised to "\"),
// and only the platform layer turns them into Linux paths when the operating system is asked.
// Every operation is a free function without state; none throws. Null or empty paths give -1
// (int results) or false.
//
// Operations on several files (copy, move, removal, folder creation, the tree walk) report each
// step to an optional callback through a CallbackEntry record. The callback is called only when
// both the callback and the record are given. Called before a step (done = 0), it returns
// kCallbackContinue to go on, kCallbackSkip to skip the step (the step then counts as done), or
// any other value to stop: the operation returns that value unchanged. Called after a step that
// succeeded (done = 1), its answer is not looked at: the step is done and the operation goes on.
//
// Name filters ("*" any run, "?" exactly one character, ASCII letters compared without regard to
// case, the whole name must match) select the entries of one folder. The operations take a path
// without a wildcard as exactly one entry, compared byte for byte.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace OrvelFileOpUtil {

// Results of the int operations. Callbacks that stop an operation may add values of their own.
constexpr int kOk = 0;
constexpr int kErrInvalidArgument = -1;    // null or empty path, or a copy that cannot be done
constexpr int kErrOpenSource = -2;         // the source file cannot be opened
constexpr int kErrRead = -3;               // a read failed, or no copy buffer could be had
constexpr int kErrWrite = -4;              // a write failed
constexpr int kErrDestination = -5;        // the destination is a folder or cannot be created
constexpr int kErrDestinationExists = -6;  // the destination exists, overwriting not allowed
constexpr int kErrModeChange = -9;         // a mode change failed
// A removal the system refused for a reason other than those removals tolerate.
constexpr int kErrRemoveFailed = -1;

// The step a callback is told about (CallbackEntry::action).
constexpr int kActionCopyNew = 0;     // copy a file to a destination that does not exist yet
constexpr int kActionCopyOver = 1;    // copy a file over an existing destination
constexpr int kActionDeleteFile = 2;  // delete a file
constexpr int kActionCreateDir = 3;   // create a folder
constexpr int kActionRemoveDir = 4;   // remove a folder
constexpr int kActionFoundDir = 5;    // the walk found a folder
constexpr int kActionFoundFile = 6;   // the walk found a file

// Callback results with a meaning of their own; anything else stops the operation.
constexpr int kCallbackContinue = 0;
constexpr int kCallbackSkip = 2;

// The value callers put in CallbackEntry::structSize. It is the size the record has always been
// announced with by its callers; on 64-bit builds the pointers and the time make the record
// itself larger, but the announced value stays, so that stored and exchanged records keep
// meaning the same thing. xaccess refuses any other value.
constexpr std::int32_t kCallbackEntrySize = 32;

// The progress record handed to the callback. The pointers are valid only during the callback.
struct CallbackEntry {
  std::int32_t structSize;  // kCallbackEntrySize, set by the caller
  void* userData;           // the caller's own, never touched by the operations
  const char* srcPath;      // the path acted on: copy source, removed entry, new folder, walk entry
  const char* dstPath;      // the destination file of a copy; null otherwise
  std::time_t mtime;        // last modification time (walk only)
  std::int32_t fileSize;    // size of a file found by the walk (at most INT32_MAX); 0 for folders
  std::int32_t action;      // one of the kAction values
  std::int32_t done;        // 0 before the step, 1 after the step succeeded
};

using Callback = int (*)(CallbackEntry* entry);

// Lists one folder once, at construction, and hands out its entries as full paths.
//
// The path is a folder ("D:\data\" or the existing folder "D:\data"), a folder with a filter
// ("D:\data\*.log") or a file ("D:\data\a.log", whose name then serves as the filter). Entries are
// kept in the order the file system returns them: every subfolder, whatever its name, and every
// other entry whose name matches the filter. A folder that cannot be read lists nothing.
class QxDirList {
 public:
  explicit QxDirList(const char* path);

  bool hasNext() const;
  // The next entry as m_dir + name; an empty string when none is left.
  std::string getNext();
  // Kept entries that are not folders, whatever has been handed out already.
  int getFileCount() const;
  std::string getFilter() const;

 private:
  void _read();

  std::string m_dir;                   // the folder, ending in "\" (empty: the current folder)
  std::string m_filter;                // "*" when the path gave none
  std::vector<std::string> m_entries;  // names, not paths
  unsigned int m_index = 0;            // next entry to hand out
};

// True when the file can be opened for reading (a folder is not a file).
bool exist(const char* path);
// True when a file or folder of that name exists.
bool isExist(const char* path);
bool isDir(const char* path);
// True when the path is not empty and ends with a separator; the file system is not asked.
bool isDirName(const char* path);
// True for an existing folder with no entries.
bool isEmptyDir(const char* path);
// Total size of the files below the path (of the file itself for a file), at most INT32_MAX;
// -1 when the walk fails.
int getDirSize(const char* path);
// Everything up to and including the last separator, that separator written "\"; empty when
// there is none or it is the first character.
std::string getDirName(const char* path);
// Everything after the last separator; the whole path when there is none.
std::string getFileName(const char* path);
bool rename(const char* from, const char* to);
bool filesizeEqualTo(const char* path, int size);
// True when both files can be read and have the same content.
bool comp(const char* pathA, const char* pathB);
// Changes the permission mode of the path, or of every entry of its listing when it ends with
// "*" or a separator (continuing after failures). kErrModeChange if any change failed.
int chdirmode(const char* path, int mode);
// Group ownership is not managed by the product; kept for its callers, always 0.
int chowngrp(const char* path, const char* group);

// Creates the folder and any missing parents.
int createDir(const char* path, Callback callback = nullptr, CallbackEntry* entry = nullptr);

// Copies a file, or the files a folder or filter selects, to a file or a folder (a destination
// ending in a separator, or an existing folder). Subfolders are not copied.
int copy(const char* source, const char* destination, bool overwrite, Callback callback = nullptr,
         CallbackEntry* entry = nullptr);
// Like copy, and copies the subfolders that match the filter with their whole trees; a source
// folder lands in a folder of its own name below the destination. Inside the tree, a symbolic
// link to a folder is left out (never followed) and a link to a file is copied as the file's
// content.
int xcopy(const char* source, const char* destination, bool overwrite, Callback callback = nullptr,
          CallbackEntry* entry = nullptr);
// copy, then unlink of the source when the copy succeeded.
int move(const char* source, const char* destination, bool overwrite, Callback callback = nullptr,
         CallbackEntry* entry = nullptr);
// xcopy, then xunlink of the source when the copy succeeded. A symbolic link to a folder inside
// the tree is therefore not carried over: the copy leaves it out and the removal takes it (never
// what it points at).
int xmove(const char* source, const char* destination, bool overwrite, Callback callback = nullptr,
          CallbackEntry* entry = nullptr);

// Removes a file, an empty folder, or the entries a filter selects (subfolders only when empty).
// A folder that still holds entries, or a name that does not exist, is not an error.
int unlink(const char* path, Callback callback = nullptr, CallbackEntry* entry = nullptr);
// Removes a folder with its whole tree, or the files and subfolder trees a filter selects.
// Symbolic links are removed as links; what they point at is left alone.
int xunlink(const char* path, Callback callback = nullptr, CallbackEntry* entry = nullptr);

// Walks a file or a tree, calling the callback for every entry (kActionFoundDir or
// kActionFoundFile). A callback that changes the action of a folder away from kActionFoundDir
// keeps the walk out of it. The record is required and must carry kCallbackEntrySize.
bool xaccess(const char* path, Callback callback, CallbackEntry* entry);

}  // namespace OrvelFileOpUtil

#pragma GCC visibility pop
