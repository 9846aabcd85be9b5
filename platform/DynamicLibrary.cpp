#include "OrvelPlatform/DynamicLibrary.h"

#include <dlfcn.h>

#include <atomic>

#include "OrvelPlatform/Path.h"

namespace OrvelPlatform {

namespace {

std::atomic<unsigned long> g_loads{0};
std::atomic<unsigned long> g_releases{0};
thread_local std::string t_lastError;

void keepLoaderError(const char* fallback) {
  const char* text = dlerror();
  t_lastError = text ? text : fallback;
}

}  // namespace

LibraryHandle loadLibrary(const char* path) {
  if (!path || !*path) {
    t_lastError = "no library path given";
    return nullptr;
  }
  // RTLD_LOCAL keeps the exports of two engine builds from mixing.
  void* handle = dlopen(toOsPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    keepLoaderError("cannot load library");
    return nullptr;
  }
  ++g_loads;
  return handle;
}

void* findSymbol(LibraryHandle library, const char* name) {
  if (!library || !name) return nullptr;
  dlerror();
  void* symbol = dlsym(library, name);
  if (!symbol) keepLoaderError("symbol not found");
  return symbol;
}

bool freeLibrary(LibraryHandle library) {
  if (!library) return false;
  if (dlclose(library) != 0) {
    keepLoaderError("cannot release library");
    return false;
  }
  ++g_releases;
  return true;
}

std::string lastLoadError() { return t_lastError; }

unsigned long libraryLoadCount() { return g_loads.load(); }
unsigned long libraryReleaseCount() { return g_releases.load(); }

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
  if (this != &other) {
    release();
    m_handle = other.m_handle;
    other.m_handle = nullptr;
  }
  return *this;
}

bool SharedLibrary::release() {
  if (!m_handle) return false;
  bool released = freeLibrary(m_handle);
  m_handle = nullptr;
  return released;
}

}  // namespace OrvelPlatform
