// Pieces of the update-client binding that its tests reach directly; not exported.
#pragma once

#include <cstddef>

namespace ORVEL {
namespace clientbinding {

// Capacity of every path text of the loader, terminator included.
constexpr std::size_t kPathCapacity = 1024;

// The file the loader looks for in the library folder.
constexpr const char* kClientFileName = "QxUpdate.dll";

// Resolves folder to an absolute path in out and checks that it names an existing folder (one
// trailing separator is ignored). False when it cannot be resolved, is not a folder, or its
// absolute path does not fit in capacity.
bool resolveFolder(const char* folder, char* out, std::size_t capacity);

// Joins folder and name with exactly one separator: "/" when the folder begins with "http://",
// "https://" or "ftp://", "\" otherwise; every other separator of the result becomes the chosen
// one. False, with out left empty, when the result does not fit in capacity: a cut path could
// name another file.
bool joinPath(const char* folder, const char* name, char* out, std::size_t capacity);

// The name of the loader lock of this process.
void loaderLockName(char* out, std::size_t capacity);

// A view of the loader state for tests.
unsigned referenceCount();
bool clientLoaded();
// Number of the 45 entry pointers that are set, and whether the named one is.
int boundEntryCount();
bool entryBound(const char* name);

}  // namespace clientbinding
}  // namespace ORVEL
