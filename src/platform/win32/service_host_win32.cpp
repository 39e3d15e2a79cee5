// The service control manager (SCM) behind service_host.h: registration, removal, and the
// dispatcher that runs the service's body on the SCM's service thread.
//
// Threading: ServiceMain runs on a thread the dispatcher starts; the control handler runs on
// the dispatcher's thread (the process's main thread). g_status is written under g_mutex by
// both, through Report().
#include <windows.h>

#include <mutex>

#include "platform/platform.h"
#include "platform/service_host.h"
#include "platform/win32/wide.h"

namespace qx::platform {
namespace {

using win32::Widen;

std::string LastErrorText() { return win32::ErrorText(GetLastError()); }

// One service per process: the dispatcher's callbacks reach it through these.
std::mutex g_mutex;
std::wstring g_name;
const std::function<int(const ServiceStateReport&)>* g_body = nullptr;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{};
int g_result = 0;

void SetState(DWORD state, DWORD exit_code = 0) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_handle) return;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  g_status.dwServiceSpecificExitCode = exit_code;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_status.dwCheckPoint = pending ? g_status.dwCheckPoint + 1 : 0;
  g_status.dwWaitHint = pending ? 60000 : 0;  // start-up reads the repository; teardown flushes
  SetServiceStatus(g_handle, &g_status);
}

void Report(ServiceState state) {
  switch (state) {
    case ServiceState::kStarting: SetState(SERVICE_START_PENDING); break;
    case ServiceState::kRunning: SetState(SERVICE_RUNNING); break;
    case ServiceState::kStopping: SetState(SERVICE_STOP_PENDING); break;
  }
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      SetState(SERVICE_STOP_PENDING);
      RequestStop();  // the same teardown as SIGTERM on Linux
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(g_name.c_str(), OnControl, nullptr);
  if (!handle) {
    SystemLogError(win32::Narrow(g_name), "Cannot register the service control handler: " +
                                       LastErrorText());
    g_result = 1;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handle = handle;
  }
  SetState(SERVICE_START_PENDING);
  g_result = (*g_body)(Report);
  // The last report: after it the SCM may end the process at any moment.
  SetState(SERVICE_STOPPED, static_cast<DWORD>(g_result));
}

SC_HANDLE OpenManager(DWORD access, std::string* error) {
  const SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, access);
  if (!scm && error) *error = LastErrorText();
  return scm;
}

}  // namespace

std::string ServiceUnitName(const std::string& service_name) { return service_name; }

// The capabilities and paths of the unit are Linux matters; the service runs as LocalSystem.
bool InstallService(const ServiceUnit& unit, std::string* error, std::string* warning) {
  if (warning) warning->clear();
  if (!unit.user.empty()) {
    // An account other than LocalSystem needs its password, which has no place on the
    // command line; the Services console sets it.
    if (error) *error = "/USER is not supported on Windows; set the account in the Services console";
    return false;
  }
  const std::string& unit_name = unit.name;
  const std::string& description = unit.description;
  const std::string& executable = unit.executable;
  const SC_HANDLE scm = OpenManager(SC_MANAGER_CREATE_SERVICE, error);
  if (!scm) return false;
  const std::wstring command = L"\"" + Widen(executable) + L"\" /SERVICE";
  const SC_HANDLE service = CreateServiceW(
      scm, Widen(unit_name).c_str(), Widen(description).c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
      nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!service) {
    if (error) *error = LastErrorText();
    CloseServiceHandle(scm);
    return false;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return true;
}

bool UninstallService(const std::string& unit_name, std::string* error) {
  const SC_HANDLE scm = OpenManager(SC_MANAGER_CONNECT, error);
  if (!scm) return false;
  const SC_HANDLE service = OpenServiceW(scm, Widen(unit_name).c_str(),
                                         DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) {
    if (error) *error = LastErrorText();
    CloseServiceHandle(scm);
    return false;
  }
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int waited = 0; waited < 30000 && status.dwCurrentState != SERVICE_STOPPED;
         waited += 250) {
      Sleep(250);
      if (!QueryServiceStatus(service, &status)) break;
    }
  }
  const bool ok = DeleteService(service) != 0;
  if (!ok && error) *error = LastErrorText();
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return ok;
}

int RunUnderServiceManager(const std::string& unit_name,
                           const std::function<int(const ServiceStateReport&)>& body,
                           std::string* error) {
  g_name = Widen(unit_name);
  g_body = &body;
  SERVICE_TABLE_ENTRYW table[] = {{g_name.data(), ServiceMain}, {nullptr, nullptr}};
  // Returns once the service has reported SERVICE_STOPPED.
  if (!StartServiceCtrlDispatcherW(table)) {
    if (error) *error = LastErrorText();
    return -1;
  }
  return g_result;
}

}  // namespace qx::platform
