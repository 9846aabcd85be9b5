// What a scanner has of each component, beside what the installation has adopted and what the
// central store holds: kfctl status, its Prometheus form, and kfctl health for monitoring.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Commands.h"

class QxUpdate;

namespace Kfctl {

struct ComponentStatus {
  int type;
  std::string installed;  // "" when the local engine cannot tell
  long installedTime;     // seconds since 1970; 0 when not recorded
  std::string adopted, central, backup;
  // The installed version is the one the central store holds as current.
  bool current() const;
};

// Current and backup rows of the central store by type; false with the reason when unreadable.
bool centralVersions(std::map<int, std::string>& versions, std::ostream& err);
bool readStatus(QxUpdate& update, std::vector<ComponentStatus>& rows, std::ostream& err);

int runHealth(const Arguments& args, Streams io);

}  // namespace Kfctl
