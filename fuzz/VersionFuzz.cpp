// The version texts of any bytes: the engine reformatting, pattern numbers, comparison, and the
// feed's version texts, which read back to the version they were written from.
#include <string>

#include "FuzzSupport.h"
#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/VersionText.h"
#include "VersionTokens.h"
#include "feed/FeedFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> pieces = OrvelFuzz::pieces(data, size, 2);
  const std::string &first = pieces[0], &second = pieces[1];
  std::string engine = first;
  if (kfReformatEngineVersion(engine)) {
    std::string again = engine;
    OrvelFuzz::require(kfReformatEngineVersion(again) && again == engine,
                       "a reformatted engine version stays as it is");
  }
  unsigned long number = 0;
  unsigned short minor = 0;
  getVerByNumber(number, minor, first.c_str());
  std::string pattern;
  formatPatternVersion(static_cast<unsigned>(number), pattern);
  for (int type = 0; type <= QXASE_PATCH + 4; ++type) {
    const int order =
        KFBlobManager::CmpVersion(static_cast<QxUpdateType>(type), first.c_str(), second.c_str());
    OrvelFuzz::require(order >= -1 && order <= 1, "a comparison is -1, 0 or 1");
  }
  for (std::uint32_t itemClass : {2u, 3u}) {
    KiteFeed::Version version;
    if (!KiteFeed::parseVersionText(itemClass, first, &version)) continue;
    KiteFeed::Version again;
    OrvelFuzz::require(
        KiteFeed::parseVersionText(itemClass, KiteFeed::versionText(itemClass, version), &again) &&
            again == version,
        "a written feed version reads back the same");
  }
  return 0;
}
