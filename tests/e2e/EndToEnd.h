// End-to-end runs of the update pipeline through the library's public interface: a product home
// with the reference engines and patterns at their older versions, the real update client in its
// "bin" folder, a central database of each backend seeded with the older components, and a feed
// with newer versions published by kitefeed-publish into the folder of the nginx test server.
#pragma once

#include <memory>
#include <string>

#include "Feed.h"
#include "PipelineTest.h"

namespace OrvelEndToEnd {

using namespace OrvelPipelineTest;

class EndToEnd : public PipelineTest {
 protected:
  void SetUp() override;

  // Writes the newer files of every component into the scratch folder and publishes them in a
  // new feed, m_feed; with deltas, the older patterns too, so that the feed has deltas from them to
  // the newer ones. Then seeds the installation with that feed as its update server.
  Feed& publishNewComponents(bool withDeltas = false);
  // The adopted versions, the update servers, and the older components uploaded to the central
  // store as an earlier update of this installation left them.
  void seedInstallation(const std::string& feedUrl);
  std::string newFiles() const { return m_scratch.path() + "/new"; }

  // "version" of the current and the backup row of a type ("" when there is none).
  std::string centralVersion(int type);
  std::string globalSetting(const char* key);
  // A console update of one component from m_feed.
  int consoleUpdate(QxUpdateType type, bool block = false);

  OrvelTest::TempDir m_scratch;
  std::unique_ptr<Feed> m_feed;
};

}  // namespace OrvelEndToEnd
