// What the service unit written by /INSTALL grants: decided from qxservice.ini and, when it
// can be reached, the repository's rows of the services that MonitorServices names.
//
// - a passive service (working port 0) captures frames: CAP_NET_RAW and CAP_NET_ADMIN;
// - a working or managing port below 1024: CAP_NET_BIND_SERVICE;
// - the program directory is writable, and so is the directory of an embedded repository
//   that lies elsewhere.
// When the services cannot be read (no ini file, no connect string, the repository not
// reachable or not installed), every capability above is assumed and a note says so.
//
// Threading: main thread, before the service starts (it opens its own repository session).
#pragma once

#include <string>
#include <vector>

namespace qx::service {

struct UnitPlan {
  std::vector<std::string> capabilities;
  std::vector<std::string> writablePaths;
  std::vector<std::string> notes;  // how the plan was decided, for the unit's comments
};

// `program_directory` ends in '/'.
UnitPlan PlanUnit(const std::string& program_directory);

}  // namespace qx::service
