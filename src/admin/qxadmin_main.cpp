// Entry point of qxadmin, the repository administration tool (admin.h).
#include <iostream>
#include <string>
#include <vector>

#include "admin/admin.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::string dir = qx::platform::ExecutablePath();
  const size_t slash = dir.find_last_of("/\\");
  dir = slash == std::string::npos ? "" : dir.substr(0, slash + 1);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qx::admin::RunAdmin(args, dir, std::cout, std::cerr);
}
