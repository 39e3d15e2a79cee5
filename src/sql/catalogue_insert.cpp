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
  const CatalogueFingerprint fp = FingerprintColumns(text);
  st->SetString("fingerprint_hash", fp.hash);
  st->SetString("fingerprint", fp.text);
  return st;
}

CatalogueFingerprint FingerprintColumns(std::string_view text) {
  CatalogueFingerprint out;
  out.text = Fingerprint(text);
  out.hash = FingerprintHash(out.text);
  if (out.text.size() > repository::width::kFingerprint) {
    out.text.resize(repository::width::kFingerprint);
  }
  return out;
}

}  // namespace qx::sql
