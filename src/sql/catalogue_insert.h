// The statement that adds a new statement to the catalogue (qx_client_sql), with its
// fingerprint (fingerprint.h) when the repository has the fingerprint columns
// (svc.fingerprintColumns, found at start). The caller binds the rest of kInsertSql's variables.
//
// Threading: any thread; the statement is for the caller's one use.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "repository/repository.h"

namespace qx::service {
class TQuorvexService;
}

namespace qx::sql {

std::unique_ptr<repository::Statement> NewCatalogueInsert(service::TQuorvexService& svc,
                                                          std::string_view text);

// The fingerprint columns' values of a statement: the hash of its whole fingerprint and the
// fingerprint cut to the column's width.
struct CatalogueFingerprint {
  std::string hash, text;
};
CatalogueFingerprint FingerprintColumns(std::string_view text);

}  // namespace qx::sql
