// The catalogue insert with the statement's fingerprint.
#include "sql/catalogue_insert.h"

#include "repository/schema.h"
#include "service/service.h"
#include "sql/fingerprint.h"

namespace qx::sql {

std::unique_ptr<repository::Statement> NewCatalogueInsert(service::TQuorvexService& svc,
                                                          std::string_view text) {
  if (!svc.fingerprintColumns) return svc.session->NewStatement(repository::SqlId::kInsertSql);
  auto st = svc.session->NewStatement(repository::SqlId::kInsertSqlFingerprint);
  const std::string fp = Fingerprint(text);
  st->SetString("fingerprint_hash", FingerprintHash(fp));
  st->SetString("fingerprint", fp.substr(0, repository::width::kFingerprint));
  return st;
}

}  // namespace qx::sql
