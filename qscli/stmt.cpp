// A statement handle forgets its last result.
#include "stmt.h"

namespace qse {

void Stmt::end_stream() {
    if (source) source->close();
    source.reset();
    streamed.carry.clear();
    streamed.rest.reset();
    streamed.error = 0;
    streamed.finished = true;
}

void Stmt::clear_result() {
    end_stream();
    copy_cut = copy != nullptr;
    copy.reset();
    streamed = Streamed();
    ncols = QSCLI_RES_NONE;
    rows = 0;
    rec_size = 0;
    changes = -1;
    last_rowid = 0;
    results = false;
    sab_type = 0;
    desc.clear();
    names.clear();
    types.clear();
    records.clear();
    rc_type = QSCLI_RES_NONE;
    rc_body.clear();
}

}  // namespace qse
