// Named mutexes, private to the process.
//
// The product names its mutexes with the process id, so a name never reaches
// another process; a registry inside the process is all that is needed. A
// mutex is created initially owned; when one of that name exists already, the
// caller waits for it. The mutex disappears with its last holder.
#pragma once

#include <memory>
#include <string>

namespace OrvelPlatform {

class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex of that name owned by the caller, or waits without a
  // time limit until an existing one is free. False for a null or empty name,
  // or when this object already owns a mutex.
  bool acquire(const char* name);

  // Gives the mutex back; false when this object does not own one.
  bool release();

  bool owned() const { return m_entry != nullptr; }

  struct Entry;

 private:
  std::shared_ptr<Entry> m_entry;
};

}  // namespace OrvelPlatform
