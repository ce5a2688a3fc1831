// The library's statements that need no engine statement of their own.
#include "own.h"
#include "named.h"
#include "text.h"

namespace qse {

int run_own(Conn* c, const Command& cmd) {
    switch (cmd.kind) {
    case Command::SYNTAX: return c->fail(QSCLI_E_ERROR, std::string("syntax: ") + cmd.usage);
    case Command::ERR_TO_USER: c->err_to_user = cmd.on; return 0;
    case Command::BEGIN: return run_begin(c, to_utf8(cmd.name.data(), cmd.name.size()));
    case Command::COMMIT:
    case Command::ROLLBACK:
        return run_end(c, to_utf8(cmd.name.data(), cmd.name.size()), cmd.kind == Command::COMMIT);
    default: return c->fail(QSCLI_E_INTERNAL, "not one of the library's own statements");
    }
}

}  // namespace qse
