// Packed dates: the client library packs and unpacks; these wrap it.
#pragma once

#include "../module/ref.h"

#include <cstdint>

namespace qx {

// The date of a packed value: None for 0, else datetime.date(year, month, day)
// from qcSqlUnpackDate (the date module's own error for impossible parts).
PyObject* qxdate2pydate(uint16_t packed);

// True when `obj`'s class is exactly datetime.date (a datetime is not).
bool is_exact_date(PyObject* obj);

// The packed value of a datetime.date through qcSqlPackDate, low 16 bits,
// no range check.
uint16_t pack_date(PyObject* date);

}  // namespace qx
