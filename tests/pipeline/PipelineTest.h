// The download pipeline's tests: an update object in a product home with a central database,
// the reference engines and the real update client put into its "bin" folder on demand, the log
// read back line by line, a fake clock, the scanner services running under a scripted service
// manager, and access to the object's parameter block and private steps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "FakeClock.h"
#include "ProductHome.h"
#include "ScriptedServiceManager.h"

class QxUpdatePipelineTestAccess {
 public:
  static QxUpdatePara& para(QxUpdate& u) { return u.m_para; }
  static QxUpdateSource& source(QxUpdate& u) { return u.m_source; }
  static std::string& result(QxUpdate& u, int type) { return u.m_resultVersion[type]; }
  static void select(QxUpdate& u, std::vector<int> types, bool versionOnly) {
    for (bool& selected : u.m_selected) selected = false;
    for (int type : types) u.m_selected[type] = true;
    u.m_versionOnly = versionOnly;
  }
  static int serverInfo(QxUpdate& u, std::string& msg, bool antispam) {
    return u._getUpdateServerInfo(msg, antispam);
  }
  static int proxyInfo(QxUpdate& u, std::string& msg) { return u._getProxyInfo(msg); }
  static void srcInfo(QxUpdate& u, SourceInfo& s) { u._generateSrcInfo(s); }
  static int downloadInfo(QxUpdate& u, int type, std::string& msg) {
    return u._getDownloadInfo(static_cast<QxUpdateType>(type), msg);
  }
  static QxUpdateRet items(QxUpdate& u, std::vector<tag_ItemInfo>& items, bool versionOnly) {
    std::string msg;
    return u._generateItems(items.data(), static_cast<int>(items.size()), versionOnly, msg);
  }
  static bool verifyDB(QxUpdate& u, int type, const char* key, std::string& version) {
    return u._verifyDBVersion(static_cast<QxUpdateType>(type), key, version);
  }
  static bool saveVersion(QxUpdate& u, std::vector<tag_ItemInfo> items, std::string& msg) {
    return u._saveVersion(items.data(), static_cast<int>(items.size()), msg);
  }
};

namespace OrvelPipelineTest {

using Lines = std::vector<std::string>;
using A = QxUpdatePipelineTestAccess;

// One component as the scanner has it and a feed offers its newer version.
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
// Writes the scan engine's pattern files of every pattern component into folder, at the older or
// the newer version; their names are the product's ("ksv$pat.763" for version 5.763.00).
void writeZiranPatterns(const std::string& folder, bool newer);
// The name of a pattern component's installed older file ("ksv$pat.763").
std::string oldPatternFile(const Component& c);
// Bytes of a file ("" when it cannot be read).
std::string content(const std::string& path);

class PipelineTest : public OrvelTest::HomeTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The object, made on first use (after the settings a case writes).
  QxUpdate& update(QxUpdateKind kind = MANUAL_UPDATE);
  // Replaces every global setting by those of the list: "key=value|hqagent:key=value" (section
  // "Update" unless named); a "{text}" in a value stands for text enciphered.
  void settings(const std::string& list);
  // Installs the "v1" reference engines, the older pattern of each kind and the spam rules 17461
  // with incremental 5.
  void installComponents();
  // Puts the real update client into "bin" and holds it until the case ends.
  void loadClient();
  // Log lines since the last call that begin (after their level) with one of the prefixes, with
  // the source line taken out of the enter and leave lines.
  Lines logLines(std::initializer_list<std::string> prefixes);
  // A key of section "update" of the scanner information file ("" when it is not there).
  std::string scannerInfo(const char* key);

  std::unique_ptr<QxUpdate> m_update;
  std::unique_ptr<OrvelEngineTest::LogReader> m_log;
  bool m_clientLoaded = false;
  OrvelTest::FakeClock m_clock;
  OrvelTest::ScriptedServiceManager m_services;  // QxOrvelScan and QxOrvelPolicy, running
};

}  // namespace OrvelPipelineTest
