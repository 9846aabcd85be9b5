// Named mutexes, private to the process.
//
// The product names its mutexes with the process id, so a name never reaches
// another process; a registry inside the process is all that is needed. A
// mutex is created initially owned; when one of that name exists already, the
// caller waits for it. The mutex disappears with its last holder.
//
// Like a Windows mutex, it belongs to a thread: the thread that holds it may
// take it again without waiting (through the same object or another one of the
// same name), and it is free for other threads only after that thread gave it
// back as often as it took it. A thread that does not hold it cannot give it
// back.
#pragma once

#include <memory>
#include <string>

#pragma GCC visibility push(default)

namespace OrvelPlatform {

class NamedMutex {
 public:
  NamedMutex() = default;
  // Gives back what this object still holds, when the destroying thread holds it.
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex of that name owned by the caller, takes it once more when
  // the calling thread holds it already, or waits without a time limit until
  // it is free. False for a null or empty name, or a name other than the one
  // this object already holds.
  bool acquire(const char* name);

  // As acquire, but never waits: false when another thread holds the mutex.
  bool tryAcquire(const char* name);

  // Gives back one acquisition made through this object. False when this
  // object holds none, or when the calling thread is not the one that holds
  // the mutex (nothing changes then).
  bool release();

  // True while this object holds at least one acquisition.
  bool owned() const { return m_acquisitions > 0; }

  struct Entry;

 private:
  bool _take(const char* name, bool wait);

  std::shared_ptr<Entry> m_entry;
  unsigned long m_acquisitions = 0;
};

}  // namespace OrvelPlatform

#pragma GCC visibility pop
