// What each subsystem hands to module start-up. Start-up binds these in a
// fixed order, so this is the one list of the module's Python-visible pieces.
#pragma once

#include "ref.h"

namespace qx {

// connection/
extern PyTypeObject ConnectionType;
extern PyMethodDef connect_def;          // connect(dsn, user='', passwd='')
extern PyMethodDef srvsendlog_def;       // srvsendlog(message)
extern PyMethodDef srvusersendlog_def;   // srvusersendlog(message, usertype)

// cursor/
extern PyTypeObject FieldType;
extern PyTypeObject CursorType;
void install_cursor_finalizer();  // once CursorType is ready (cursor.h says why)

// module/library.cpp
extern PyMethodDef initlibrary_def;
extern PyMethodDef freelibrary_def;

// module/standard_module.cpp: makes pyqivrexdb._qxstandard; 0 or -1.
int register_standard_module();

// values/
extern PyMethodDef pydate2qxdate_def;
// Imports the datetime C interface for the values subsystem; 0 or -1.
int datetime_import();

}  // namespace qx
