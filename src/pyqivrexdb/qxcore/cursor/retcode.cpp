// The statement's return value: read after execute, handed out by retcode().
#include "cursor.h"

#include "../client/loader.h"
#include "../base/common.h"
#include "../values/values.h"

namespace qx {

const char* const cursor_read_retcode_doc = nullptr;
const char* const cursor_retcode_doc =
    "\n        код возврата при\n"
    "        выполнении SQL запроса\n"
    "        :return: str\n        ";

int read_return_body(CursorObject* self, uint32_t size, int32_t* type, MemBlock* body) {
    unsigned int length = 0;
    const int32_t hstmt = self->stmt_handle;
    int rc = quick_call(self->lock, [&] {
        return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_RC_TYPE, 0, type, sizeof *type, &length);
    });
    if (rc != 0) return raise_code("ProgrammingError", "qcSqlGetStmtAttr error %d:", rc), -1;
    if (debug_log("retcode_type: %d, retcode_length: %u", int{*type}, size) < 0) return -1;
    if (*type == QSCLI_RES_NONE) return 0;

    *body = mem_block(size);
    if (!*body) return -1;
    rc = quick_call(self->lock, [&] {
        return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_RC_BODY, 0, body->get(), size, &length);
    });
    if (rc != 0) return raise_code("ProgrammingError", "qcSqlGetStmtAttr error %d:", rc), -1;
    return 1;
}

PyObject* cursor_read_retcode(PyObject* self_obj, PyObject* length_obj) {
    CursorObject* self = reinterpret_cast<CursorObject*>(self_obj);
    uint32_t retcode_length = 0;
    if (to_uint32(length_obj, &retcode_length) < 0) return nullptr;
    int32_t retcode_type = 0;
    MemBlock body;
    const int got = read_return_body(self, retcode_length, &retcode_type, &body);
    if (got <= 0) return got < 0 ? nullptr : new_ref(Py_None);

    Ref type(PyLong_FromLong(retcode_type));
    if (!type) return nullptr;
    bool decoded = false;
    Ref value(values::decode_body(type.get(), body.get(), retcode_length, &decoded));
    if (!value) return PyErr_Occurred() ? nullptr : new_ref(Py_None);
    if (decoded) replace_field(self->return_code, value.release());
    Py_RETURN_NONE;
}

PyObject* cursor_retcode(PyObject* self, PyObject*) {
    return new_ref(reinterpret_cast<CursorObject*>(self)->return_code);
}

}  // namespace qx
