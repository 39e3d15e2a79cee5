// Loading the service filters and SQL filters of a service from the repository.
#include "service/catalogue.h"

namespace qx::service {

void LoadServiceFilters(TQuorvexService& svc, TServiceData& service) {
  TServiceFilterList loaded;
  auto query = svc.session->NewQuery(repository::SqlId::kLoadServiceFilters);
  query->SetNumber("service_id", service.id);
  query->Open();
  for (; !query->Eof(); query->Next()) {
    TServiceFilter f;
    f.id = query->FieldAsNumber("id");
    f.service_id = query->FieldAsNumber("service_id");
    f.filter_type = UpperCase(query->FieldAsString("filter_type"));
    f.service_name = UpperCase(query->FieldAsString("service_name"));
    f.sid = UpperCase(query->FieldAsString("sid"));
    f.program = UpperCase(query->FieldAsString("program"));
    f.host = UpperCase(query->FieldAsString("host"));
    f.username = UpperCase(query->FieldAsString("username"));
    f.orauser = UpperCase(query->FieldAsString("orauser"));
    f.date_expr = UpperCase(query->FieldAsString("date_expr"));
    // A row that names nobody would match every connection: it is not a filter.
    if (f.service_name.empty() && f.sid.empty() && f.program.empty() && f.host.empty() &&
        f.username.empty() && f.orauser.empty()) {
      continue;
    }
    svc.WriteServiceLog("Loaded service filter # " + NumberText(f.id) + " for service " +
                        service.name);
    loaded.push_back(std::move(f));
  }
  query->Close();
  std::unique_lock<std::shared_mutex> lock(service.filtersMu);
  service.serviceFilters.swap(loaded);
}

void LoadSQLFilters(TQuorvexService& svc, TServiceData& service) {
  TSQLFilterList loaded;
  auto query = svc.session->NewQuery(repository::SqlId::kLoadSqlFilters);
  query->SetNumber("service_id", service.id);
  query->Open();
  for (; !query->Eof(); query->Next()) {
    TSQLFilter f;
    f.id = query->FieldAsNumber("id");
    f.service_id = query->FieldAsNumber("service_id");
    f.filter_type = UpperCase(query->FieldAsString("filter_type"));
    f.exec_date_expr = query->FieldAsString("exec_date_expr");
    const bool exec_time_ok = SetExecTime(f, query->FieldAsString("exec_time"));
    f.sqlstatement = UpperCase(query->FieldAsString("sqlstatement"));
    f.object_list = UpperCase(query->FieldAsString("object_list"));
    if (f.exec_date_expr.empty() && f.exec_time.empty() && f.sqlstatement.empty() &&
        f.object_list.empty()) {
      continue;
    }
    svc.WriteServiceLog("Loaded SQL filter # " + NumberText(f.id) + " for service " +
                        service.name);
    if (!exec_time_ok) {
      // A typing mistake in one row must not break every statement boundary of the service:
      // say so once, and let that condition never hold.
      svc.ReportError("SQL filter # " + NumberText(f.id) + " has an invalid exec_time '" +
                      f.exec_time + "'; the condition is never met.");
    }
    loaded.push_back(std::move(f));
  }
  query->Close();
  std::unique_lock<std::shared_mutex> lock(service.filtersMu);
  service.sqlFilters.swap(loaded);
  service.anySqlFilters.store(!service.sqlFilters.empty());
}

void FreeFilters(TServiceData& service) {
  std::unique_lock<std::shared_mutex> lock(service.filtersMu);
  while (!service.serviceFilters.empty()) service.serviceFilters.pop_back();
  while (!service.sqlFilters.empty()) service.sqlFilters.pop_back();
  service.anySqlFilters.store(false);
}

}  // namespace qx::service
