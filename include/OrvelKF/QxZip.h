// ZIP archives of component files, for the central database.
//
// Entries are deflated (method 8) and carry the file's local modification time
// and its mode. Entry names are written in the requested code page (932, 936,
// 949 or 950; any other value keeps the names as they are) and always use "/"
// between folders, as ZIP tools expect.
#pragma once

#pragma GCC visibility push(default)

namespace ORVEL {

// Writes an archive of source (a file, or a folder with everything below it).
// False when the archive cannot be written or a file cannot be added; no
// partial archive is left behind then.
bool _zip(const char* archive, const char* source, unsigned codePage);

// An entry whose name is absolute, climbs out of the destination folder, is
// longer than 1023 bytes or holds a NUL byte.
constexpr int UNZIP_UNSAFE_ENTRY = -110;

// Extracts every entry of archive below destination, keeping the entries'
// folders. 0 when all were extracted; -1 when the archive cannot be opened or
// a file cannot be written; UNZIP_UNSAFE_ENTRY, before anything is written,
// when an entry's name is refused; otherwise the ZIP library's code of the
// first entry that failed. Each file is written under a temporary name beside
// its own and renamed into place when whole and checked, so an entry that
// fails leaves the file it would have replaced as it was.
int _unzip(char* archive, char* destination);

}  // namespace ORVEL

#pragma GCC visibility pop
