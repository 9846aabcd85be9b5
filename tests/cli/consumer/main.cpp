// Prints what the installed library makes of a pattern number and two engine versions.
#include <cstdio>
#include <string>

#include "OrvelKF/KFBlobManager.h"
#include "OrvelKF/VersionText.h"

int main() {
  std::string text;
  formatPatternVersion(576400, text);
  std::printf("%s %d\n", text.c_str(),
              KFBlobManager::CmpVersion(SCAN_ENGINE, "9.500.1001", "9.750.1042"));
  return 0;
}
