// Deciding the service unit's privileges from the configuration.
#include "service/unit_plan.h"

#include <cmath>
#include <exception>

#include "platform/platform.h"
#include "repository/session_factory.h"
#include "service/config.h"
#include "service/logs.h"

namespace qx::service {
namespace {

constexpr const char* kCapture[] = {"CAP_NET_ADMIN", "CAP_NET_RAW"};
constexpr const char* kBind = "CAP_NET_BIND_SERVICE";

std::string WithoutSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::vector<std::string> Names(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string name = UpperCase(Trim(list.substr(start, comma - start)));
    if (!name.empty()) out.push_back(name);
    start = comma + 1;
  }
  return out;
}

bool LowPort(double port) { return port >= 1 && port < 1024; }

// Fills capture/bind from the repository; false with *why when it cannot be read.
bool ReadServices(const std::string& connect_string, const std::string& program_directory,
                  const std::vector<std::string>& names, bool* capture, bool* bind,
                  std::vector<std::string>* notes, std::string* why) {
  try {
    auto session = repository::Session::Create(connect_string, program_directory);
    session->Connect();
    {
      auto check = session->NewQuery(repository::SqlId::kCheckInstalled);
      check->Open();
      const bool installed = check->RowCount() >= 1;
      check->Close();
      if (!installed) {
        *why = "the repository has no Quorvex schema";
        return false;
      }
    }
    auto query = session->NewQuery(repository::SqlId::kLoadService);
    for (const auto& name : names) {
      query->SetString("name", name);
      query->Open();
      if (query->Eof()) {
        notes->push_back("Service " + name + " is not in the repository: nothing granted for it.");
      } else {
        const double work = query->FieldAsNumber("work_port");
        const double manage = query->FieldAsNumber("manage_port");
        const bool passive = std::trunc(work) == 0;
        *capture = *capture || passive;
        *bind = *bind || LowPort(manage) || (!passive && LowPort(work));
        notes->push_back("Service " + name + ": " + (passive ? "passive" : "active") +
                         ", working port " + NumberText(work) + ", managing port " +
                         NumberText(manage) + ".");
      }
      query->Close();
    }
    session->Disconnect();
    return true;
  } catch (const std::exception& e) {
    *why = std::string("the repository could not be read (") + e.what() + ")";
    return false;
  }
}

}  // namespace

UnitPlan PlanUnit(const std::string& program_directory) {
  UnitPlan plan;
  plan.writablePaths.push_back(WithoutSlash(program_directory));
  bool capture = false, bind = false, decided = false;
  std::string why;

  const std::string ini_path = program_directory + "qxservice.ini";
  const IniFile ini = IniFile::Load(ini_path);
  const std::string connect_string = ini.ReadString("Service", "rpstConnStr", "");
  const std::vector<std::string> names = Names(ini.ReadString("Service", "MonitorServices", ""));
  if (!platform::FileExists(ini_path)) {
    why = ini_path + " was not there";
  } else if (connect_string.empty()) {
    why = "qxservice.ini holds no rpstConnStr";
  } else if (names.empty()) {
    why = "qxservice.ini names no MonitorServices";
  } else {
    try {
      const auto target = repository::ParseConnectString(connect_string, program_directory);
      if (target.kind == repository::ConnectTarget::Kind::kSqlite) {
        const size_t slash = target.sqlite_file.find_last_of('/');
        const std::string dir =
            slash == std::string::npos ? "" : WithoutSlash(target.sqlite_file.substr(0, slash + 1));
        if (!dir.empty() && dir != plan.writablePaths[0]) plan.writablePaths.push_back(dir);
      }
      decided = ReadServices(connect_string, program_directory, names, &capture, &bind,
                             &plan.notes, &why);
    } catch (const std::exception& e) {
      why = e.what();
    }
  }
  if (!decided) {
    plan.notes.clear();
    plan.notes.push_back("The configured services could not be read at install time: " + why +
                         ".");
    plan.notes.push_back("Assumed: passive services (CAP_NET_RAW, CAP_NET_ADMIN) and ports below "
                         "1024 (CAP_NET_BIND_SERVICE).");
    capture = bind = true;
  }
  for (const char* c : kCapture) {
    if (capture) plan.capabilities.push_back(c);
  }
  if (bind) plan.capabilities.push_back(kBind);
  return plan;
}

}  // namespace qx::service
