// Loading and validating the monitored services, and their status rows.
#include "service/catalogue.h"

#include <cmath>

namespace qx::service {
namespace {

// Cuts L at its first comma; appends a comma to a non-empty remainder that has none, so the
// last name is read by the same loop as the others.
void AppendCommaIfNeeded(std::string& list) {
  if (!list.empty() && list.find(',') == std::string::npos) list += ',';
}

std::vector<std::string> InterfaceAddresses(TQuorvexService& /*svc*/) {
  // Filled in from the capture component's device list.
  return {};
}

void AddStatusTimer(TQuorvexService& svc, TServiceData& service) {
  const int tag = static_cast<int>(std::trunc(service.id));
  TQuorvexService* owner = &svc;
  service.statusTimer = svc.loop->AddTimer(5000, [owner, tag] { StatusHeartbeat(*owner, tag); });
  service.hasStatusTimer = true;
}

void RemoveStatusTimer(TQuorvexService& svc, TServiceData& service) {
  if (service.hasStatusTimer) svc.loop->RemoveTimer(service.statusTimer);
  service.hasStatusTimer = false;
}

}  // namespace

std::string FindPortOwner(const TQuorvexService& svc, const TServiceData& x) {
  for (const auto& s : svc.services) {
    if ((s->work_port == x.work_port && x.work_port != 0) || s->manage_port == x.work_port ||
        s->work_port == x.manage_port || s->manage_port == x.manage_port) {
      return s->name;
    }
  }
  return "";
}

bool FindInterface(TQuorvexService& svc, const std::string& address) {
  svc.WriteServiceLog("Available Interface List");
  const std::vector<std::string> addresses = InterfaceAddresses(svc);
  for (const std::string& a : addresses) {
    if (a != "0.0.0.0") svc.WriteServiceLog("Interface: " + a);
  }
  for (const std::string& a : addresses) {
    if (a == address) return true;
  }
  return false;
}

void LoadServices(TQuorvexService& svc, const std::string& list_text) {
  if (!svc.session || !svc.session->Connected()) return;
  auto query = svc.session->NewQuery(repository::SqlId::kLoadService);
  std::string list = Trim(list_text);
  AppendCommaIfNeeded(list);
  size_t comma;
  while ((comma = list.find(',')) != std::string::npos) {
    const std::string name = UpperCase(Trim(list.substr(0, comma)));
    list = list.substr(comma + 1);
    AppendCommaIfNeeded(list);
    if (name.empty()) continue;

    query->SetString("name", name);
    query->Open();
    if (query->Eof()) {
      query->Close();
      continue;
    }
    auto service = std::make_unique<TServiceData>();
    service->id = query->FieldAsNumber("id");
    service->oracle_port = query->FieldAsNumber("oracle_port");
    service->work_port = query->FieldAsNumber("work_port");
    service->manage_port = query->FieldAsNumber("manage_port");
    service->name = query->FieldAsString("name");
    service->oracle_host = query->FieldAsString("oracle_host");
    service->ipinterface = query->FieldAsString("ipinterface");
    service->totalConnections = 0;
    AddStatusTimer(svc, *service);

    const std::string owner = FindPortOwner(svc, *service);
    bool accepted = false;
    if (!owner.empty()) {
      svc.ReportError("Unable to load service \"" + service->name +
                      "\" because its ports are used by the service \"" + owner + "\"");
    } else if (service->work_port == service->manage_port) {
      svc.ReportError("Unable to load service \"" + service->name +
                      "\" because its working and managing ports must be different.");
    } else if (service->work_port == 0 && !FindInterface(svc, service->ipinterface)) {
      svc.ReportError("Unable to find monitoring IP interface " + service->ipinterface +
                      " for the service \"" + service->name + "\"");
    } else {
      accepted = true;
    }
    if (accepted) {
      svc.services.push_back(std::move(service));
    } else {
      RemoveStatusTimer(svc, *service);
    }
    query->Close();
  }
}

void StatusHeartbeat(TQuorvexService& svc, int tag) {
  if (!svc.session || !svc.session->Connected()) return;
  auto st = svc.session->NewStatement(repository::SqlId::kUpdateStatusRow);
  st->SetNumber("service_id", tag);
  st->SetString("host", GetHostName());
  st->Execute();
}

void StartListeners(TQuorvexService& svc) {
  {
    auto st = svc.session->NewStatement(repository::SqlId::kDeleteStatusRows);
    st->SetString("host", GetHostName());
    st->Execute();
  }
  auto insert = svc.session->NewStatement(repository::SqlId::kInsertStatusRow);
  for (auto it = svc.services.rbegin(); it != svc.services.rend(); ++it) {
    TServiceData& service = **it;
    insert->SetNumber("service_id", service.id);
    insert->SetString("host", GetHostName());
    insert->Execute();
  }
}

void StopListeners(TQuorvexService& svc) {
  for (auto it = svc.services.rbegin(); it != svc.services.rend(); ++it) {
    TServiceData& service = **it;
    RemoveStatusTimer(svc, service);
    if (service.connLogOpen.load()) {
      service.connLog.WriteLine("Connections log closed for service " + service.name);
      service.connLogOpen = false;
      service.connLog.Close();
    }
  }
}

}  // namespace qx::service
