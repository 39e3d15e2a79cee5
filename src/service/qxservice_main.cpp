// Entry point of qxservice: hands the command line to the service host.
#include <string>
#include <vector>

#include "service/host.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return qx::service::RunServiceHost(args);
}
