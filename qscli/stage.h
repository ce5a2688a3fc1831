// Rows of values kept in a byte store until a result's column widths are
// known (TEXT and BLOB columns, types inferred from the values), on every
// backend: per value a kind byte, then 8 bytes of number or a 4-byte length
// and the bytes.
#pragma once

#include "records.h"
#include "value.h"

#include <string>

namespace qse {

// Appends `v` to a staged row.
void stage_value(const Value& v, std::string& row);
// The next staged value; false when the store cannot be read. Text and bytes
// are borrowed from the reader until its next take.
bool unstage_value(StageReader& in, Value& v);

}  // namespace qse
