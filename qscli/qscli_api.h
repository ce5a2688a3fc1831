// The library's interface, as the driver and the test double see it: the
// one declaration of every entry point, code and attribute. The library's
// own code is in namespace qse, the Qivrex stand-in engine.
#pragma once

#define QSCLI_DEFINE_PROTOTYPES
#include "../src/pyqivrexdb/qxcore/client/qscli.h"
