// Packed dates. The client library owns the packing rule; this file wraps its
// two entry points for Python. The datetime C interface lives only here,
// because PyDateTime_IMPORT fills a pointer private to each file.
#include "dates.h"

#include "../client/calls.h"
#include "../client/loader.h"
#include "../base/common.h"
#include "../base/parts.h"

#include <datetime.h>

#include <climits>

namespace qx {

int datetime_import() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

namespace {

std::nullptr_t library_not_loaded() {
    return raise_message("InterfaceError", "the client library is not loaded: call initlibrary() first");
}

// Dates repeat across the rows of a result: a small direct-mapped cache of
// the date objects last made (immutable, so sharing them is safe) spares an
// allocation per value. Keyed by what the library unpacked, so the library
// still decides every value. The entries live until exit.
struct CachedDate {
    unsigned int day = 0, month = 0, year = 0;
    PyObject* date = nullptr;
};
CachedDate g_date_cache[1024];

int as_c_int(unsigned int part) { return part > INT_MAX ? INT_MAX : static_cast<int>(part); }

}  // namespace

PyObject* qxdate2pydate(uint16_t packed) {
    if (packed == 0) Py_RETURN_NONE;
    if (!library_loaded()) return library_not_loaded();
    unsigned int day = 0, month = 0, year = 0;
    quick_call(HeldLock(0).get(), [&] { return qc.qcSqlUnpackDate(packed, &day, &month, &year); });
    CachedDate& slot = g_date_cache[packed & 0x3FF];
    if (slot.date && slot.day == day && slot.month == month && slot.year == year) {
        Py_INCREF(slot.date);
        return slot.date;
    }
    PyObject* date = PyDate_FromDate(as_c_int(year), as_c_int(month), as_c_int(day));
    if (!date) return nullptr;
    Py_XDECREF(slot.date);
    Py_INCREF(date);
    slot = CachedDate{day, month, year, date};
    return date;
}

bool is_exact_date(PyObject* obj) { return Py_TYPE(obj) == PyDateTimeAPI->DateType; }

Temporal temporal_kind(PyObject* obj) {
    if (PyDateTime_Check(obj)) return Temporal::DATETIME;
    if (PyDate_Check(obj)) return Temporal::DATE;
    if (PyTime_Check(obj)) return Temporal::TIME;
    return Temporal::NONE;
}

void date_parts(PyObject* date, int* year, int* month, int* day) {
    *year = PyDateTime_GET_YEAR(date);
    *month = PyDateTime_GET_MONTH(date);
    *day = PyDateTime_GET_DAY(date);
}

bool is_timedelta(PyObject* obj) { return PyDelta_Check(obj); }

void delta_parts(PyObject* delta, int* days, int* seconds, int* microseconds) {
    *days = PyDateTime_DELTA_GET_DAYS(delta);
    *seconds = PyDateTime_DELTA_GET_SECONDS(delta);
    *microseconds = PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

bool library_has_dates() { return library_loaded(); }

bool date_in_range(PyObject* date) {
    return year_in_range(PyDateTime_GET_YEAR(date));
}

bool year_in_range(int year) { return year >= QSCLI_DATE_FIRST_YEAR && year <= QSCLI_DATE_LAST_YEAR; }

std::nullptr_t date_range_error(PyObject* date) {
    Ref text(PyUnicode_FromFormat("%S - does not include the date range " QX_DATE_SPAN_DMY, date));
    return text ? raise_object("ProgrammingError", text.get()) : nullptr;
}

uint16_t pack_date(PyObject* date) {
    if (!library_loaded() || !PyDate_Check(date)) return 0;
    const unsigned day = PyDateTime_GET_DAY(date), month = PyDateTime_GET_MONTH(date),
                   year = PyDateTime_GET_YEAR(date);
    const int packed =
        quick_call(HeldLock(0).get(), [&] { return qc.qcSqlPackDate(day, month, year); });
    return static_cast<uint16_t>(packed & 0xFFFF);
}

namespace {

PyObject* pydate2qxdate(PyObject*, PyObject* pydate) {
    Ref datetime = global("datetime");
    if (!datetime) return nullptr;
    Ref date_class(PyObject_GetAttrString(datetime.get(), "date"));
    if (!date_class) return nullptr;
    Ref lower(PyObject_CallFunction(date_class.get(), "iii", QSCLI_DATE_FIRST_YEAR, 1, 1));
    if (!lower) return nullptr;
    // lower <= pydate <= upper, evaluated as Python chains it: the upper
    // bound is made only when the lower comparison holds.
    int in_range = PyObject_RichCompareBool(lower.get(), pydate, Py_LE);
    if (in_range < 0) return nullptr;
    if (in_range) {
        Ref upper(PyObject_CallFunction(date_class.get(), "iii", QSCLI_DATE_LAST_YEAR, 12, 31));
        if (!upper) return nullptr;
        in_range = PyObject_RichCompareBool(pydate, upper.get(), Py_LE);
        if (in_range < 0) return nullptr;
    }
    if (!in_range) return date_range_error(pydate);
    // Only a real date has the stored fields the library is given; an object
    // that merely compares like one is refused rather than misread.
    if (!PyDate_Check(pydate))
        return PyErr_Format(PyExc_TypeError, "pydate2qxdate() argument must be datetime.date, not %.100s",
                            Py_TYPE(pydate)->tp_name);
    if (!library_loaded()) return library_not_loaded();
    return PyLong_FromLong(pack_date(pydate));
}

}  // namespace

PyMethodDef pydate2qxdate_def = {
    "pydate2qxdate", pydate2qxdate, METH_O,
    "\n    граница диапазона с 01-01-" QX_STR(QSCLI_DATE_FIRST_YEAR) " по 31-12-" QX_STR(QSCLI_DATE_LAST_YEAR) "\n    :param pydate: datetime.date\n    :return: int\n    "};

}  // namespace qx
