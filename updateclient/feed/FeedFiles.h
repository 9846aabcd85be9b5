// Small files of the feed, on OS paths, shared by the update client (keys,
// feed state, index cache) and the publisher (index, catalogue, keys). Every
// function answers false with errno set; none throws but std::bad_alloc.
#pragma once

#include <sys/types.h>

#include <string>

namespace KiteFeed {

// The whole content of a file. errno ENOENT tells a missing file from one
// that cannot be read.
bool readWholeFile(const std::string& path, std::string* bytes);

// Replaces the file at once: the bytes go to a sibling with an unpredictable
// name (created exclusively), are flushed to the disk and renamed over the
// file, and the folder is synced. A reader or a crash sees the old content or
// the new one, never a part of either.
bool replaceFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);

// Creates a new file with its final mode from the first moment, never over an
// existing file and never through a symbolic link (errno EEXIST), and flushes
// it to the disk. A file left incomplete by a failed write is removed.
bool createFileExclusively(const std::string& path, const std::string& bytes, mode_t mode);

}  // namespace KiteFeed
