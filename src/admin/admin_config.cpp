// qxadmin's default repository: the one the service beside it is configured with.
#include "admin/admin_config.h"

#include "service/config.h"

namespace qx::admin {

std::string DefaultConnectString(const std::string& program_directory) {
  // The same reader as the service's, so both agree on what the file says.
  return service::IniFile::Load(program_directory + "qxservice.ini")
      .ReadString("Service", "rpstConnStr", "");
}

}  // namespace qx::admin
