// The part of the Oracle Call Interface (OCI) this backend uses, declared here from Oracle's
// published OCI reference so that nothing of Oracle's is needed to build: the client library
// is loaded at run time by name and its entry points are looked up into an OciApi table.
// Only what the backend calls is declared; the values are those of Oracle's oci.h.
//
// Threading: LoadOciApi may be called from any thread; a loaded table is never unloaded or
// changed, so it may be read by any thread without a lock. (Unloading the Oracle client is
// unsafe while any of its threads or thread-local data live, so it stays for the process.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::repository::oci {

// Scalar types of the OCI reference.
using sword = int;
using ub1 = uint8_t;
using ub2 = uint16_t;
using sb2 = int16_t;
using ub4 = uint32_t;
using sb4 = int32_t;
using OraText = unsigned char;

// Opaque handles, only ever used through pointers.
struct OCIEnv;
struct OCIError;
struct OCISvcCtx;
struct OCIStmt;
struct OCIBind;
struct OCIDefine;
struct OCIParam;
struct OCISnapshot;

// OCIDate (external type SQLT_ODT): a DATE value as plain fields, filled and read directly.
struct OCITime {
  ub1 hh;
  ub1 mi;
  ub1 ss;
};
struct OCIDate {
  int16_t year;  // sb2 in the reference
  ub1 month;
  ub1 day;
  OCITime time;
};

// Return codes.
constexpr sword OCI_SUCCESS = 0;
constexpr sword OCI_SUCCESS_WITH_INFO = 1;
constexpr sword OCI_NO_DATA = 100;
constexpr sword OCI_ERROR = -1;
constexpr sword OCI_INVALID_HANDLE = -2;
constexpr sword OCI_NEED_DATA = 99;
constexpr sword OCI_STILL_EXECUTING = -3123;

// Modes and flags.
constexpr ub4 OCI_DEFAULT = 0;
constexpr ub4 OCI_THREADED = 0x00000001;
constexpr ub4 OCI_LOGON2_STMTCACHE = 0x0004;
constexpr ub4 OCI_NTV_SYNTAX = 1;
constexpr ub2 OCI_FETCH_NEXT = 0x02;

// Handle and descriptor types.
constexpr ub4 OCI_HTYPE_ENV = 1;
constexpr ub4 OCI_HTYPE_ERROR = 2;
constexpr ub4 OCI_HTYPE_SVCCTX = 3;
constexpr ub4 OCI_HTYPE_STMT = 4;
constexpr ub4 OCI_DTYPE_PARAM = 53;

// Attributes.
constexpr ub4 OCI_ATTR_DATA_SIZE = 1;   // ub2, of a select-list parameter
constexpr ub4 OCI_ATTR_DATA_TYPE = 2;   // ub2, of a select-list parameter
constexpr ub4 OCI_ATTR_NAME = 4;        // OraText* + ub4 length, of a select-list parameter
constexpr ub4 OCI_ATTR_PREFETCH_ROWS = 11;  // ub4, of a statement
constexpr ub4 OCI_ATTR_PARAM_COUNT = 18;    // ub4, of an executed query

// External data types used for binds and defines.
constexpr ub2 SQLT_CHR = 1;   // VARCHAR2: bytes with an explicit length
constexpr ub2 SQLT_FLT = 4;   // native floating point (double here)
constexpr ub2 SQLT_ODT = 156; // OCIDate

// Internal data types reported by the select-list description.
constexpr ub2 SQLT_NUM = 2;
constexpr ub2 SQLT_LNG = 8;
constexpr ub2 SQLT_DAT = 12;
constexpr ub2 SQLT_IBFLOAT = 100;
constexpr ub2 SQLT_IBDOUBLE = 101;
constexpr ub2 SQLT_CLOB = 112;
constexpr ub2 SQLT_BLOB = 113;
constexpr ub2 SQLT_TIMESTAMP = 180;     // internal code of TIMESTAMP
constexpr ub2 SQLT_TIMESTAMP_TZ = 181;  // internal code of TIMESTAMP WITH TIME ZONE
constexpr ub2 SQLT_TIMESTAMP_LTZ = 231; // internal code of TIMESTAMP WITH LOCAL TIME ZONE

// Character set id of WE8ISO8859P1: every byte is one character and converts both ways.
constexpr ub2 kCharsetWe8Iso8859P1 = 31;

// Entry points, with the parameter lists of the OCI reference.
struct OciApi {
  sword (*OCIEnvNlsCreate)(OCIEnv** envp, ub4 mode, void* ctxp,
                           void* (*malocfp)(void* ctxp, size_t size),
                           void* (*ralocfp)(void* ctxp, void* memptr, size_t newsize),
                           void (*mfreefp)(void* ctxp, void* memptr), size_t xtramem_sz,
                           void** usrmempp, ub2 charset, ub2 ncharset);
  sword (*OCIHandleAlloc)(const void* parenth, void** hndlpp, ub4 type, size_t xtramem_sz,
                          void** usrmempp);
  sword (*OCIHandleFree)(void* hndlp, ub4 type);
  sword (*OCIDescriptorFree)(void* descp, ub4 type);
  sword (*OCILogon2)(OCIEnv* envhp, OCIError* errhp, OCISvcCtx** svchp,
                     const OraText* username, ub4 uname_len, const OraText* password,
                     ub4 passwd_len, const OraText* dbname, ub4 dbname_len, ub4 mode);
  sword (*OCILogoff)(OCISvcCtx* svchp, OCIError* errhp);
  sword (*OCIPing)(OCISvcCtx* svchp, OCIError* errhp, ub4 mode);
  sword (*OCIStmtPrepare2)(OCISvcCtx* svchp, OCIStmt** stmtp, OCIError* errhp,
                           const OraText* stmt, ub4 stmt_len, const OraText* key,
                           ub4 key_len, ub4 language, ub4 mode);
  sword (*OCIStmtRelease)(OCIStmt* stmtp, OCIError* errhp, const OraText* key, ub4 key_len,
                          ub4 mode);
  sword (*OCIBindByName)(OCIStmt* stmtp, OCIBind** bindp, OCIError* errhp,
                         const OraText* placeholder, sb4 placeh_len, void* valuep,
                         sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep,
                         ub4 maxarr_len, ub4* curelep, ub4 mode);
  sword (*OCIDefineByPos)(OCIStmt* stmtp, OCIDefine** defnp, OCIError* errhp, ub4 position,
                          void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* rlenp,
                          ub2* rcodep, ub4 mode);
  sword (*OCIStmtExecute)(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters,
                          ub4 rowoff, const OCISnapshot* snap_in, OCISnapshot* snap_out,
                          ub4 mode);
  sword (*OCIStmtFetch2)(OCIStmt* stmtp, OCIError* errhp, ub4 nrows, ub2 orientation,
                         sb4 scroll_offset, ub4 mode);
  sword (*OCIParamGet)(const void* hndlp, ub4 htype, OCIError* errhp, void** parmdpp,
                       ub4 pos);
  sword (*OCIAttrGet)(const void* trgthndlp, ub4 trghndltyp, void* attributep, ub4* sizep,
                      ub4 attrtype, OCIError* errhp);
  sword (*OCIAttrSet)(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size,
                      ub4 attrtype, OCIError* errhp);
  sword (*OCIErrorGet)(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep,
                       OraText* bufp, ub4 bufsiz, ub4 type);
  sword (*OCITransRollback)(OCISvcCtx* svchp, OCIError* errhp, ub4 flags);
};

// The names tried, in order, when no other list is given: "libclntsh.so" and the versioned
// names of current Instant Clients on Linux, "oci.dll" on Windows.
std::vector<std::string> DefaultLibraryNames();

// Loads the first of `names` that loads and exports every entry point above. Returns null
// with *error set to a message for the administrator (what to install, where it is looked
// for, and why each name failed). A table, once loaded for a name, is reused.
const OciApi* LoadOciApi(const std::vector<std::string>& names, std::string* error);

}  // namespace qx::repository::oci
