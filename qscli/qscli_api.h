// The library's interface, as the driver and the test double see it: the
// one declaration of every entry point, code and attribute.
#pragma once

#define QSCLI_DEFINE_PROTOTYPES
#include "../pyqivrexdb/qxcore/client/qscli.h"
