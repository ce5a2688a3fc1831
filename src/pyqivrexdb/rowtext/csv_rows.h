// The shell's CSV reader (csv_rows.cpp), a function of pyqivrexdb._rowtext.
#pragma once

#include "../qxcore/base/ref.h"

PyObject* csv_rows(PyObject* self, PyObject* args);

// Readies the date type for csv_rows; false with an exception set.
bool csv_rows_ready();
