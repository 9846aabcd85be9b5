// One QxuUpdateEx call: fetch and verify the signed index, match the items,
// answer version queries, and for downloads stage every file (full or through
// a delta against the current version in the destination) before renaming
// any of them into place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvelKF/QxUpdateClient.h"
#include "Settings.h"
#include "Transfer.h"
#include "WorkFolder.h"
#include "feed/FeedFormat.h"

namespace QxuClient {

class StagedFile;

class UpdateSession {
 public:
  UpdateSession(const Settings& settings, const SourceInfo& source, unsigned option,
                QxuProgressCallback progress, void* userData);

  // QXU_OK or QXU_UP_TO_DATE; every failure is thrown as a ClientError.
  int run(tag_ItemInfo* items, unsigned count);

  // Body bytes received for the index, files and deltas.
  std::uint64_t bytesFetched() const { return m_transfer ? m_transfer->bytesReceived() : 0; }

 private:
  struct Plan {
    unsigned index;
    const KiteFeed::Entry* entry;
    std::string folder;  // OS path of the destination
  };

  KiteFeed::Body fetchVerifiedIndex();
  KiteFeed::Body verifyIndex(const std::string& bytes);
  const KiteFeed::Entry* findEntry(const tag_ItemInfo& item) const;
  std::string destinationOf(const tag_ItemInfo& item) const;
  std::unique_ptr<StagedFile> stageFile(const Plan& plan, const KiteFeed::File& file);
  std::unique_ptr<StagedFile> stageFull(const Plan& plan, const KiteFeed::File& file);
  std::unique_ptr<StagedFile> stageFromDelta(const Plan& plan, const KiteFeed::File& file,
                                             const KiteFeed::Delta& delta);
  const KiteFeed::Delta* usableDelta(const Plan& plan, const KiteFeed::File& file) const;
  ProgressFn progressFor(unsigned index) const;

  Settings m_settings;
  std::string m_source;
  WorkFolder m_work;
  std::unique_ptr<Transfer> m_transfer;
  QxuProgressCallback m_progress;
  void* m_userData;
  tag_ItemInfo* m_items = nullptr;
  KiteFeed::Body m_body;
};

}  // namespace QxuClient
