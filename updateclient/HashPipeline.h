// SHA-256 of a large download on a second thread: the receiving thread copies
// each chunk into one of a few fixed buffers and goes on writing, while the
// hashing thread digests the buffers in order. Memory stays bounded (the
// receiver waits for a free buffer), and the digest is the same as inline.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed/FeedCrypto.h"

namespace QxuClient {

class HashPipeline {
 public:
  HashPipeline();
  ~HashPipeline();
  HashPipeline(const HashPipeline&) = delete;
  HashPipeline& operator=(const HashPipeline&) = delete;

  void update(const char* data, std::size_t size);
  // The digest of everything given since the start or the last reset.
  std::string finishHex();
  void reset();

 private:
  struct Buffer {
    std::vector<char> bytes;
    std::size_t used = 0;
  };

  void handOver();
  void drain();
  void run();

  KiteFeed::Sha256 m_hash;
  std::vector<Buffer> m_buffers;
  Buffer* m_filling = nullptr;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Buffer*> m_free;
  std::deque<Buffer*> m_full;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace QxuClient
