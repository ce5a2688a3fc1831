// A statement handle forgets its last result.
#include "stmt_handle.h"

namespace qse {

void Streamed::reset() {
    on = complete = finished = making = false;
    columns.clear();
    first = count = made = 0;
    carry.clear();
    carry_widths.clear();
    error = 0;
    error_text.clear();
    if (!rest.empty()) rest.clear();
    // `row` keeps its values too: each is written before it is read.
}

void Stmt::end_stream() {
    if (source) source->close();
    source.reset();
    streamed.carry.clear();
    if (!streamed.rest.empty()) streamed.rest.clear();
    streamed.error = 0;
    streamed.finished = true;
}

void Stmt::set_changes(int64_t n) {
    changes = n;
    if (n >= INT32_MIN && n <= INT32_MAX) {
        const int32_t v = static_cast<int32_t>(n);
        rc_type = QSCLI_ET_LONG;
        rc_body.assign(reinterpret_cast<const unsigned char*>(&v), reinterpret_cast<const unsigned char*>(&v) + 4);
    } else {
        const double d = static_cast<double>(n);
        rc_type = QSCLI_ET_DFLT;
        rc_body.assign(reinterpret_cast<const unsigned char*>(&d), reinterpret_cast<const unsigned char*>(&d) + 8);
    }
}

void Stmt::clear_result() {
    end_stream();
    copy_cut = copy != nullptr;
    copy.reset();
    streamed.reset();
    ncols = QSCLI_RES_NONE;
    rows = 0;
    rec_size = 0;
    changes = -1;
    last_rowid = 0;
    results = false;
    sab_type = 0;
    desc.clear();
    names.reset();
    types.clear();
    records.clear();
    rc_type = QSCLI_RES_NONE;
    rc_body.clear();
}

}  // namespace qse
