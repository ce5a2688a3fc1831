// The part of libpq's C interface the PostgreSQL backend uses, declared here
// and resolved at run time from libpq.so.5: the library neither links nor
// requires it, and a machine without it still runs the SQLite engine.
// The declarations follow libpq-fe.h of libpq 5 (PostgreSQL 10 and later).
#pragma once

#include <cstddef>

namespace qse {
namespace pq {

struct PGconn;
struct PGresult;
struct PGcancel;
typedef unsigned int Oid;

// Values of libpq's enums (ConnStatusType, ExecStatusType,
// PGTransactionStatusType) that the backend tests for.
enum { CONNECTION_OK = 0, CONNECTION_BAD = 1 };
enum {
    PGRES_EMPTY_QUERY = 0,
    PGRES_COMMAND_OK,
    PGRES_TUPLES_OK,
    PGRES_COPY_OUT,
    PGRES_COPY_IN,
    PGRES_BAD_RESPONSE,
    PGRES_NONFATAL_ERROR,
    PGRES_FATAL_ERROR,
    PGRES_COPY_BOTH,
    PGRES_SINGLE_TUPLE,
    PGRES_PIPELINE_SYNC,
    PGRES_PIPELINE_ABORTED,
    PGRES_TUPLES_CHUNK,
};
enum { PQTRANS_IDLE = 0, PQTRANS_ACTIVE, PQTRANS_INTRANS, PQTRANS_INERROR, PQTRANS_UNKNOWN };
// PQresultErrorField codes
constexpr int PG_DIAG_SEVERITY_NONLOCALIZED = 'V';
constexpr int PG_DIAG_SQLSTATE = 'C';
constexpr int PG_DIAG_MESSAGE_PRIMARY = 'M';
constexpr int PG_DIAG_MESSAGE_DETAIL = 'D';
constexpr int PG_DIAG_SCHEMA_NAME = 's';
constexpr int PG_DIAG_TABLE_NAME = 't';
constexpr int PG_DIAG_CONSTRAINT_NAME = 'n';

struct PGnotify {
    char* relname;
    int be_pid;
    char* extra;
    PGnotify* next;
};

typedef void (*PQnoticeReceiver)(void* arg, const PGresult* res);

// Every function resolved, with its type. REQUIRED ones must all be there;
// OPTIONAL ones (newer libpq) may be missing.
#define QSE_LIBPQ_FUNCTIONS(REQUIRED, OPTIONAL)                                                       \
    REQUIRED(PQconnectdbParams, PGconn*, (const char* const* keys, const char* const* values, int expand)) \
    REQUIRED(PQfinish, void, (PGconn*))                                                               \
    REQUIRED(PQstatus, int, (const PGconn*))                                                          \
    REQUIRED(PQerrorMessage, char*, (const PGconn*))                                                  \
    REQUIRED(PQtransactionStatus, int, (const PGconn*))                                               \
    REQUIRED(PQparameterStatus, const char*, (const PGconn*, const char* name))                      \
    REQUIRED(PQsocket, int, (const PGconn*))                                                          \
    REQUIRED(PQbackendPID, int, (const PGconn*))                                                      \
    REQUIRED(PQsetNoticeReceiver, PQnoticeReceiver, (PGconn*, PQnoticeReceiver, void*))               \
    REQUIRED(PQsendQuery, int, (PGconn*, const char*))                                                \
    REQUIRED(PQsendQueryParams, int,                                                                  \
             (PGconn*, const char*, int, const Oid*, const char* const*, const int*, const int*, int)) \
    REQUIRED(PQsetSingleRowMode, int, (PGconn*))                                                      \
    REQUIRED(PQexec, PGresult*, (PGconn*, const char*))                                               \
    REQUIRED(PQprepare, PGresult*, (PGconn*, const char*, const char*, int, const Oid*))              \
    REQUIRED(PQsendQueryPrepared, int,                                                                \
             (PGconn*, const char*, int, const char* const*, const int*, const int*, int))             \
    REQUIRED(PQgetResult, PGresult*, (PGconn*))                                                       \
    REQUIRED(PQresultStatus, int, (const PGresult*))                                                  \
    REQUIRED(PQresultErrorField, char*, (const PGresult*, int))                                       \
    REQUIRED(PQresultErrorMessage, char*, (const PGresult*))                                          \
    REQUIRED(PQclear, void, (PGresult*))                                                              \
    REQUIRED(PQntuples, int, (const PGresult*))                                                       \
    REQUIRED(PQnfields, int, (const PGresult*))                                                       \
    REQUIRED(PQfname, char*, (const PGresult*, int))                                                  \
    REQUIRED(PQftype, Oid, (const PGresult*, int))                                                    \
    REQUIRED(PQfmod, int, (const PGresult*, int))                                                     \
    REQUIRED(PQftable, Oid, (const PGresult*, int))                                                   \
    REQUIRED(PQgetvalue, char*, (const PGresult*, int, int))                                          \
    REQUIRED(PQgetlength, int, (const PGresult*, int, int))                                           \
    REQUIRED(PQgetisnull, int, (const PGresult*, int, int))                                           \
    REQUIRED(PQcmdTuples, char*, (PGresult*))                                                         \
    REQUIRED(PQcmdStatus, char*, (PGresult*))                                                         \
    REQUIRED(PQconsumeInput, int, (PGconn*))                                                          \
    REQUIRED(PQisBusy, int, (PGconn*))                                                                \
    REQUIRED(PQnotifies, PGnotify*, (PGconn*))                                                        \
    REQUIRED(PQfreemem, void, (void*))                                                                \
    REQUIRED(PQputCopyData, int, (PGconn*, const char*, int))                                         \
    REQUIRED(PQputCopyEnd, int, (PGconn*, const char*))                                               \
    REQUIRED(PQgetCopyData, int, (PGconn*, char**, int))                                              \
    REQUIRED(PQgetCancel, PGcancel*, (PGconn*))                                                       \
    REQUIRED(PQfreeCancel, void, (PGcancel*))                                                         \
    REQUIRED(PQcancel, int, (PGcancel*, char*, int))                                                  \
    REQUIRED(PQlibVersion, int, (void))                                                               \
    OPTIONAL(PQsetChunkedRowsMode, int, (PGconn*, int))                                              \
    OPTIONAL(PQenterPipelineMode, int, (PGconn*))                                                     \
    OPTIONAL(PQexitPipelineMode, int, (PGconn*))                                                      \
    OPTIONAL(PQpipelineSync, int, (PGconn*))                                                          \
    OPTIONAL(PQsendPrepare, int, (PGconn*, const char*, const char*, int, const Oid*))

#define QSE_PQ_POINTER(name, ret, params) ret(*name) params = nullptr;
struct Api {
    QSE_LIBPQ_FUNCTIONS(QSE_PQ_POINTER, QSE_PQ_POINTER)
};
#undef QSE_PQ_POINTER

// The resolved functions, or null with the reason in *why when libpq.so.5
// cannot be loaded or lacks a required function. Loaded once per process.
const Api* api(const char** why);

}  // namespace pq
}  // namespace qse
