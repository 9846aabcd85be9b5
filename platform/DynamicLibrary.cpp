#include "OrvelPlatform/DynamicLibrary.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

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

bool readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// offset + length, saturating: a header that claims more than 64 bits can hold is cut short too.
std::uint64_t endOf(std::uint64_t offset, std::uint64_t length) {
  std::uint64_t end = 0;
  return __builtin_add_overflow(offset, length, &end) ? UINT64_MAX : end;
}

// The bytes an ELF object of this machine's class must hold for the loader to map it: the end of
// its program header table and of its furthest loadable segment. 0 when the file is no such
// object; the loader then refuses it with a text of its own.
std::uint64_t bytesTheLoaderMaps(int fd) {
  ElfW(Ehdr) header{};
  if (!readAt(fd, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != (__ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_phentsize != sizeof(ElfW(Phdr)))
    return 0;
  std::uint64_t needed = endOf(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr)));
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment{};
    if (!readAt(fd, &segment, sizeof segment, header.e_phoff + i * sizeof segment)) return needed;
    if (segment.p_type == PT_LOAD)
      needed = std::max(needed, endOf(segment.p_offset, segment.p_filesz));
  }
  return needed;
}

// The loader maps a library's segments as its program headers describe them; a file cut short (a
// damaged engine in a staging folder, a copy that stopped half-way) then faults the process on
// first touch instead of failing the load.
bool isCutShortElfObject(const std::string& osPath) {
  // Non-blocking: a pipe under a library's name must not hold the caller.
  const int fd = ::open(osPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;  // the loader tells why it cannot open it
  struct stat status {};
  const bool cutShort = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                        bytesTheLoaderMaps(fd) > static_cast<std::uint64_t>(status.st_size);
  ::close(fd);
  return cutShort;
}

}  // namespace

LibraryHandle loadLibrary(const char* path) {
  if (!path || !*path) {
    t_lastError = "no library path given";
    return nullptr;
  }
  const std::string osPath = toOsPath(path);
  if (isCutShortElfObject(osPath)) {
    t_lastError = osPath + ": file too short for the segments it describes";
    return nullptr;
  }
  // RTLD_LOCAL keeps the exports of two engine builds from mixing.
  void* handle = dlopen(osPath.c_str(), RTLD_NOW | RTLD_LOCAL);
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
