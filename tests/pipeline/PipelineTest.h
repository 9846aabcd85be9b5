// The download pipeline's tests: an update object in a product home with a central database,
// the reference engines and the real update client put into its "bin" folder on demand, the log
// read back line by line, and access to the object's parameter block and private steps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "ProductHome.h"

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
  // The anti-spam engine, pattern and patch up-to-date flags, as "yyn".
  static std::string upToDate(QxUpdate& u) {
    std::string flags;
    for (bool flag : {u.m_qxaseEngineUpToDate, u.m_qxasePatternUpToDate, u.m_qxasePatchUpToDate})
      flags += flag ? 'y' : 'n';
    return flags;
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

// Writes a pattern file named as the product names it: its number is the middle of the version
// (internal version 576300 is version 5.763.00, file "ksv$pat.763").
void writePattern(const std::string& folder, OrvelEngines::PatternKind kind,
                  std::uint32_t internal);

class PipelineTest : public OrvelTest::HomeTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The object, made on first use (after the settings a case writes).
  QxUpdate& update(QxUpdateKind kind = MANUAL_UPDATE);
  // Replaces every global setting by those of the list: "key=value|hqagent:key=value" (section
  // "Update" unless named); a "{text}" in a value stands for text enciphered.
  void settings(const std::string& list);
  // Installs the "v1" reference engines, one pattern of each kind (virus 5.763.00, spyware
  // 1.234.00, Lurebox 2.101.00, Lurebox exception 3.202.00, Cloudsift 4.303.00) and the spam
  // rules 17461 with incremental 5.
  void installComponents();
  // Puts the real update client into "bin" and holds it until the case ends.
  void loadClient();
  // Log lines since the last call that begin (after their level) with one of the prefixes, with
  // the source line taken out of the enter and leave lines.
  Lines logLines(std::initializer_list<std::string> prefixes);

  std::unique_ptr<QxUpdate> m_update;
  std::unique_ptr<OrvelEngineTest::LogReader> m_log;
  bool m_clientLoaded = false;
};

}  // namespace OrvelPipelineTest
