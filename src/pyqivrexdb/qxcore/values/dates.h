// Packed dates: the client library packs and unpacks; these wrap it.
#pragma once

#include "../client/qscli.h"
#include "../base/ref.h"

#include <cstddef>
#include <cstdint>

#define QX_STR2(x) #x
#define QX_STR(x) QX_STR2(x)
// The dates a DATE value holds, as messages spell them.
#define QX_DATE_SPAN_DMY "01-01-" QX_STR(QSCLI_DATE_FIRST_YEAR) " to 31-12-" QX_STR(QSCLI_DATE_LAST_YEAR)
#define QX_DATE_SPAN_ISO QX_STR(QSCLI_DATE_FIRST_YEAR) "-01-01 to " QX_STR(QSCLI_DATE_LAST_YEAR) "-12-31"

namespace qx {

// The date of a packed value: None for 0, else datetime.date(year, month, day)
// from qcSqlUnpackDate (the date module's own error for impossible parts;
// InterfaceError while the library is not loaded). Equal dates made one after
// another may be one shared object.
PyObject* qxdate2pydate(uint16_t packed);

// True when `obj`'s class is exactly datetime.date (a datetime is not).
bool is_exact_date(PyObject* obj);

// What kind of datetime value `obj` is (subclasses included; a datetime is
// not counted as a date), with a date's parts when it is one.
enum class Temporal { NONE, DATE, DATETIME, TIME };
Temporal temporal_kind(PyObject* obj);
void date_parts(PyObject* date, int* year, int* month, int* day);

// True when `obj` is a datetime.timedelta (subclasses included), with its
// days, seconds (0..86399) and microseconds.
bool is_timedelta(PyObject* obj);
void delta_parts(PyObject* delta, int* days, int* seconds, int* microseconds);

// True once the library's packing entry points are in the table.
bool library_has_dates();

// Whether a datetime.date lies within 1 January 1900 - 31 December 2078
// (QSCLI_DATE_*), the
// dates a packed value can hold (the library packs any other as 0, no date).
bool date_in_range(PyObject* date);
bool year_in_range(int year);

// ProgrammingError("<date> - does not include the date range ..."), the
// refusal of a date outside that range; returns null.
std::nullptr_t date_range_error(PyObject* date);

// The packed value of a datetime.date through qcSqlPackDate, low 16 bits,
// no range check. 0 (no date) when `date` is not a date or the library is
// not loaded; callers that can tell the user check library_has_dates() first.
uint16_t pack_date(PyObject* date);

}  // namespace qx
