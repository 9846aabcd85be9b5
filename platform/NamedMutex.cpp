#include "OrvelPlatform/NamedMutex.h"

#include <map>
#include <mutex>

namespace OrvelPlatform {

struct NamedMutex::Entry {
  std::mutex lock;
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
    entry = std::make_shared<NamedMutex::Entry>();
    slot = entry;
  }
  return entry;
}

void forgetUnusedEntries() {
  std::lock_guard<std::mutex> guard(g_registryLock);
  for (auto it = g_registry.begin(); it != g_registry.end();)
    it = it->second.expired() ? g_registry.erase(it) : std::next(it);
}

}  // namespace

NamedMutex::~NamedMutex() { release(); }

bool NamedMutex::acquire(const char* name) {
  if (!name || !*name || m_entry) return false;
  std::shared_ptr<Entry> entry = openEntry(name);
  entry->lock.lock();
  m_entry = std::move(entry);
  return true;
}

bool NamedMutex::release() {
  if (!m_entry) return false;
  m_entry->lock.unlock();
  m_entry.reset();
  forgetUnusedEntries();
  return true;
}

}  // namespace OrvelPlatform
