// End-to-end runs of the update pipeline through the library's public interface: a product home
// with the reference engines and patterns at their older versions, the real update client in its
// "bin" folder, a central database of each backend seeded with the older components, and a feed
// with newer versions published by kitefeed-publish into the folder of the nginx test server.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "Feed.h"
#include "PipelineTest.h"
#include "ScriptedServiceManager.h"

namespace OrvelEndToEnd {

// One component as the feed offers it and the scanner has it.
struct Component {
  QxUpdateType type;
  unsigned itemClass;
  unsigned itemId;          // for the platform "Linux"
  const char* oldVersion;   // installed and adopted before the update
  const char* newVersion;   // what the update leaves in the settings and the central store
  const char* feedVersion;  // as the feed lists it: the text of an engine, the number of a pattern
  const char* title;        // in the success message
  std::vector<std::string> files;  // names of the new files the feed item carries
};

// The ten components a download can name (the spam incremental pattern travels with 6).
const std::vector<Component>& components();
const Component& component(QxUpdateType type);

class EndToEnd : public OrvelPipelineTest::PipelineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the newer files of every component into the scratch folder and publishes them.
  void publishNewComponents(Feed& feed);
  // The adopted versions, the update servers, and the older components uploaded to the central
  // store as an earlier update of this installation left them.
  void seedInstallation(const std::string& feedUrl);
  std::string newFiles() const { return m_scratch.path() + "/new"; }

  // "version" of the current and the backup row of a type ("" when there is none).
  std::string centralVersion(int type);
  std::string globalSetting(const char* key);
  std::string scannerInfo(const char* key);

  OrvelTest::TempDir m_scratch;
  std::unique_ptr<OrvelTest::FakeClock> m_clock;
  std::unique_ptr<OrvelTest::ScriptedServiceManager> m_services;
};

// Bytes of a file ("" when it cannot be read).
std::string content(const std::string& path);

}  // namespace OrvelEndToEnd
