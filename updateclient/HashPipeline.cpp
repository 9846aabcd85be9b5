#include "HashPipeline.h"

#include <algorithm>
#include <cstring>

namespace QxuClient {

namespace {
constexpr std::size_t kBufferCount = 6;
constexpr std::size_t kBufferSize = 1 << 20;
}  // namespace

HashPipeline::HashPipeline() : m_buffers(kBufferCount) {
  for (Buffer& b : m_buffers) {
    b.bytes.resize(kBufferSize);
    m_free.push_back(&b);
  }
  m_thread = std::thread([this] { run(); });
}

HashPipeline::~HashPipeline() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void HashPipeline::update(const char* data, std::size_t size) {
  while (size > 0) {
    if (!m_filling) {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return !m_free.empty(); });
      m_filling = m_free.front();
      m_free.pop_front();
      m_filling->used = 0;
    }
    const std::size_t n = std::min(size, m_filling->bytes.size() - m_filling->used);
    std::memcpy(m_filling->bytes.data() + m_filling->used, data, n);
    m_filling->used += n;
    data += n;
    size -= n;
    if (m_filling->used == m_filling->bytes.size()) handOver();
  }
}

void HashPipeline::handOver() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_full.push_back(m_filling);
  }
  m_filling = nullptr;
  m_changed.notify_all();
}

void HashPipeline::drain() {
  if (m_filling) handOver();
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [this] { return m_full.empty() && !m_busy; });
}

std::string HashPipeline::finishHex() {
  drain();
  return m_hash.finishHex();
}

void HashPipeline::reset() {
  drain();
  m_hash.reset();
}

void HashPipeline::run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (true) {
    m_changed.wait(lock, [this] { return m_stop || !m_full.empty(); });
    if (m_full.empty()) return;
    Buffer* buffer = m_full.front();
    m_full.pop_front();
    m_busy = true;
    lock.unlock();
    m_hash.update(buffer->bytes.data(), buffer->used);
    lock.lock();
    m_busy = false;
    m_free.push_back(buffer);
    m_changed.notify_all();
  }
}

}  // namespace QxuClient
