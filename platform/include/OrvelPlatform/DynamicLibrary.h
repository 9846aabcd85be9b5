// Run-time loading of shared objects (engines, the update client).
//
// A library is loaded by file name (the product's names end in ".dll"; the
// loader does not care), its symbols are looked up by name and it is released
// again. Failures keep the loader's own error text for the caller's message.
// Loads and releases are counted so that tests can prove that every load is
// released on every path.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace OrvelPlatform {

using LibraryHandle = void*;

// Loads the library at path (passed through toOsPath). Null on failure; the
// reason is then available from lastLoadError() on the same thread. A shared
// object whose file ends before the segments its headers describe (cut short
// by a broken copy or download) is refused before the system loader maps it,
// since touching the missing pages would kill the process.
LibraryHandle loadLibrary(const char* path);

// Null when the library has no symbol of that name (or either argument is null).
void* findSymbol(LibraryHandle library, const char* name);

// Releases one load. False for a null handle or when the loader refuses.
bool freeLibrary(LibraryHandle library);

// The loader's text for the last failed load or lookup on this thread.
std::string lastLoadError();

// Successful loads and releases since the process started.
unsigned long libraryLoadCount();
unsigned long libraryReleaseCount();

// Owns one load; releases it when it goes.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  explicit SharedLibrary(const char* path) : m_handle(loadLibrary(path)) {}
  ~SharedLibrary() { release(); }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  SharedLibrary(SharedLibrary&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
  SharedLibrary& operator=(SharedLibrary&& other) noexcept;

  bool loaded() const { return m_handle != nullptr; }
  LibraryHandle handle() const { return m_handle; }

  template <typename Function>
  Function symbol(const char* name) const {
    return reinterpret_cast<Function>(findSymbol(m_handle, name));
  }

  // Releases the library now; true when it was loaded and is released.
  bool release();

 private:
  LibraryHandle m_handle = nullptr;
};

}  // namespace OrvelPlatform

#pragma GCC visibility pop
