// The component blob store of the central database.
//
// Components that one scanner downloaded are uploaded here, with the previous
// copy kept as a backup row, so that the other scanners of the installation
// can take them and an administrator can roll back.
#pragma once

#include "OrvelKF/QxUpdateCatalogue.h"

class KFBlobManager {
 public:
  // Compares two version texts of a component: 1 when the second is newer,
  // 0 when they are equal, -1 when the first is newer, and -1 as well when
  // either text is null or the type is the spam incremental pattern.
  static int CmpVersion(QxUpdateType type, const char* first, const char* second);
};
