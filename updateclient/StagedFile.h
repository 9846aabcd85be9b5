// A file on its way into a destination folder. Bytes stream through SHA-256
// into a temporary name in that folder ("." + "kftmp-..."); only a verified
// file is renamed to its final name, and a file that is not committed is
// removed when the object goes, so no failure leaves anything behind. The
// file it replaces is kept aside (".kfold-...") until the whole update has
// committed, so that a later failure can put it back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "HashPipeline.h"
#include "Transfer.h"
#include "feed/FeedCrypto.h"

namespace QxuClient {

class StagedFile : public TransferSink {
 public:
  // folder and name are OS paths; declaredSize and sha256 come from the
  // index. Creating the temporary fails with QXU_E_DEST_FOLDER when the
  // folder is missing and QXU_E_WRITE when it refuses the file.
  StagedFile(const std::string& folder, const std::string& name, std::uint64_t declaredSize,
             std::string sha256);
  ~StagedFile() override;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  void write(const char* data, std::size_t size) override;
  std::uint64_t size() const override { return m_size; }
  void restart() override;
  void announceLength(std::uint64_t total) override;
  std::uint64_t expectedSize() const override { return m_declaredSize; }

  // Size and digest against the index: QXU_E_FILE_SIZE or QXU_E_FILE_DIGEST.
  void verify();
  // Renames the verified file to its final name, keeping a file of that
  // name aside (QXU_E_WRITE on failure, with nothing changed; a folder of
  // that name is never replaced).
  void commit();
  // Undoes a commit: the file kept aside goes back, or the new file goes.
  void rollBack();
  // Every file of the update is in place: the one kept aside goes.
  void dropReplaced();

  const std::string& temporaryPath() const { return m_temporary; }
  const std::string& finalPath() const { return m_final; }
  const std::string& name() const { return m_name; }

 private:
  void keepReplacedAside();
  void putReplacedBack();

  std::string m_name;
  std::string m_final;
  std::string m_temporary;
  std::uint64_t m_declaredSize;
  std::string m_sha256;
  int m_fd = -1;
  std::uint64_t m_size = 0;
  // Large files are hashed on a second thread, small ones inline.
  std::unique_ptr<HashPipeline> m_pipeline;
  KiteFeed::Sha256 m_hash;
  std::string m_digest;
  bool m_committed = false;
  std::string m_replaced;  // where the file it replaced is kept; empty: none
};

// Collects bytes in memory up to a cap (the index).
class MemorySink : public TransferSink {
 public:
  MemorySink(std::uint64_t cap, std::string what);
  void write(const char* data, std::size_t size) override;
  std::uint64_t size() const override { return m_bytes.size(); }
  void restart() override { m_bytes.clear(); }
  void announceLength(std::uint64_t total) override;
  const std::string& bytes() const { return m_bytes; }

 private:
  [[noreturn]] void tooLarge(std::uint64_t size) const;

  std::uint64_t m_cap;
  std::string m_what;
  std::string m_bytes;
};

}  // namespace QxuClient
