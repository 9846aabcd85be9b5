#include "OrvelPlatform/NamedMutex.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace OrvelPlatform {

// The owner and its count change only under lock; a count of 0 means free.
struct NamedMutex::Entry {
  explicit Entry(const std::string& entryName) : name(entryName) {}

  const std::string name;
  std::mutex lock;
  std::condition_variable freed;
  std::thread::id owner;
  unsigned long count = 0;
};

namespace {

// Entries live while some NamedMutex holds them; the registry only finds them.
std::mutex g_registryLock;
std::map<std::string, std::weak_ptr<NamedMutex::Entry>> g_registry;

std::shared_ptr<NamedMutex::Entry> openEntry(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_registryLock);
  auto& slot = g_registry[name];
  std::shared_ptr<NamedMutex::Entry> entry = slot.lock();
  if (!entry) {
    entry = std::make_shared<NamedMutex::Entry>(name);
    slot = entry;
  }
  return entry;
}

void forgetUnusedEntries() {
  std::lock_guard<std::mutex> guard(g_registryLock);
  for (auto it = g_registry.begin(); it != g_registry.end();)
    it = it->second.expired() ? g_registry.erase(it) : std::next(it);
}

bool heldByOtherThread(const NamedMutex::Entry& entry) {
  return entry.count > 0 && entry.owner != std::this_thread::get_id();
}

}  // namespace

NamedMutex::~NamedMutex() {
  while (release()) {
  }
}

bool NamedMutex::acquire(const char* name) { return _take(name, true); }

bool NamedMutex::tryAcquire(const char* name) { return _take(name, false); }

bool NamedMutex::_take(const char* name, bool wait) {
  if (!name || !*name || (m_entry && m_entry->name != name)) return false;
  std::shared_ptr<Entry> entry = m_entry ? m_entry : openEntry(name);
  {
    std::unique_lock<std::mutex> guard(entry->lock);
    if (!wait && heldByOtherThread(*entry)) return false;
    entry->freed.wait(guard, [&] { return !heldByOtherThread(*entry); });
    entry->owner = std::this_thread::get_id();
    ++entry->count;
  }
  m_entry = std::move(entry);
  ++m_acquisitions;
  return true;
}

bool NamedMutex::release() {
  if (m_acquisitions == 0) return false;
  {
    std::lock_guard<std::mutex> guard(m_entry->lock);
    if (m_entry->owner != std::this_thread::get_id()) return false;
    if (--m_entry->count == 0) {
      m_entry->owner = std::thread::id();
      m_entry->freed.notify_one();
    }
  }
  if (--m_acquisitions == 0) {
    m_entry.reset();
    forgetUnusedEntries();
  }
  return true;
}

}  // namespace OrvelPlatform
