// Linux implementation of dynamic_library.h on top of dlopen/dlerror.
#include <dlfcn.h>

#include "platform/dynamic_library.h"

namespace qx::platform {

void* LoadLibraryReporting(const std::string& name, std::string* error) {
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library && error) {
    // dlerror's state is per thread in glibc, so the message is this call's.
    const char* why = dlerror();
    *error = why && *why ? why : "cannot load " + name;
  }
  return library;
}

}  // namespace qx::platform
