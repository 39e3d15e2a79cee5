// Run-time loading of the Oracle client library and of the entry points in oci_api.h.
#include "repository/oracle/oci_api.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/dynamic_library.h"
#include "platform/platform.h"

namespace qx::repository::oci {
namespace {

std::mutex g_mutex;  // guards Loaded()
std::map<std::string, std::unique_ptr<OciApi>>& Loaded() {
  static std::map<std::string, std::unique_ptr<OciApi>> loaded;  // by library name
  return loaded;
}

template <typename Fn>
bool Resolve(void* library, const char* name, Fn* slot, std::string* missing) {
  *slot = reinterpret_cast<Fn>(platform::LibrarySymbol(library, name));
  if (!*slot) {
    if (!missing->empty()) *missing += ", ";
    *missing += name;
  }
  return *slot != nullptr;
}

// Looks every entry point up; *missing lists those absent.
bool ResolveAll(void* lib, OciApi* api, std::string* missing) {
  bool ok = true;
  ok &= Resolve(lib, "OCIEnvNlsCreate", &api->OCIEnvNlsCreate, missing);
  ok &= Resolve(lib, "OCIHandleAlloc", &api->OCIHandleAlloc, missing);
  ok &= Resolve(lib, "OCIHandleFree", &api->OCIHandleFree, missing);
  ok &= Resolve(lib, "OCIDescriptorFree", &api->OCIDescriptorFree, missing);
  ok &= Resolve(lib, "OCILogon2", &api->OCILogon2, missing);
  ok &= Resolve(lib, "OCILogoff", &api->OCILogoff, missing);
  ok &= Resolve(lib, "OCIPing", &api->OCIPing, missing);
  ok &= Resolve(lib, "OCIStmtPrepare2", &api->OCIStmtPrepare2, missing);
  ok &= Resolve(lib, "OCIStmtRelease", &api->OCIStmtRelease, missing);
  ok &= Resolve(lib, "OCIBindByName", &api->OCIBindByName, missing);
  ok &= Resolve(lib, "OCIDefineByPos", &api->OCIDefineByPos, missing);
  ok &= Resolve(lib, "OCIStmtExecute", &api->OCIStmtExecute, missing);
  ok &= Resolve(lib, "OCIStmtFetch2", &api->OCIStmtFetch2, missing);
  ok &= Resolve(lib, "OCIParamGet", &api->OCIParamGet, missing);
  ok &= Resolve(lib, "OCIAttrGet", &api->OCIAttrGet, missing);
  ok &= Resolve(lib, "OCIAttrSet", &api->OCIAttrSet, missing);
  ok &= Resolve(lib, "OCIErrorGet", &api->OCIErrorGet, missing);
  ok &= Resolve(lib, "OCITransRollback", &api->OCITransRollback, missing);
  return ok;
}

// A missing file is the expected reason for most names tried; anything else (a dependency
// of the client missing, a wrong architecture, an old client) is what the administrator needs.
bool IsPlainAbsence(const std::string& reason) {
  return reason.find("No such file") != std::string::npos ||
         reason.find("cannot find") != std::string::npos ||
         reason.find("could not be found") != std::string::npos;
}

std::string InstallAdvice() {
#ifdef _WIN32
  return "Install Oracle Instant Client Basic or Basic Light (64-bit, release 12.1 or later) "
         "and add its directory to the PATH of the service (system environment variables), "
         "then restart the service.";
#else
  return "Install Oracle Instant Client Basic or Basic Light (release 12.1 or later, with its "
         "dependency libaio) and make its directory known to the dynamic loader: either list "
         "it in a file under /etc/ld.so.conf.d/ and run ldconfig, or set LD_LIBRARY_PATH to it "
         "in the service's environment; then restart the service.";
#endif
}

}  // namespace

std::vector<std::string> DefaultLibraryNames() {
#ifdef _WIN32
  return {"oci.dll"};
#else
  return {"libclntsh.so",      "libclntsh.so.23.1", "libclntsh.so.21.1", "libclntsh.so.19.1",
          "libclntsh.so.18.1", "libclntsh.so.12.1"};
#endif
}

const OciApi* LoadOciApi(const std::vector<std::string>& names, std::string* error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto& loaded = Loaded();
  for (const auto& name : names) {
    auto it = loaded.find(name);
    if (it != loaded.end()) return it->second.get();
  }
  std::string first_reason, telling_reason;
  for (const auto& name : names) {
    std::string reason;
    void* library = platform::LoadLibraryReporting(name, &reason);
    if (library) {
      auto api = std::make_unique<OciApi>();
      std::string missing;
      if (ResolveAll(library, api.get(), &missing)) {
        const OciApi* result = api.get();
        loaded.emplace(name, std::move(api));
        return result;  // the library stays loaded for the life of the process
      }
      platform::CloseLibrary(library);
      reason = name + " lacks the entry points " + missing + " (client too old)";
    }
    if (first_reason.empty()) first_reason = reason;
    if (telling_reason.empty() && !IsPlainAbsence(reason)) telling_reason = reason;
  }
  if (error) {
    std::string tried;
    for (const auto& name : names) tried += (tried.empty() ? "" : ", ") + name;
    *error = "The Oracle client library could not be loaded (tried " + tried + "; " +
             (telling_reason.empty() ? first_reason : telling_reason) + "). " +
             InstallAdvice();
  }
  return nullptr;
}

}  // namespace qx::repository::oci
