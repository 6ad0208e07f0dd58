// The fatal exit.
#include "server/fatal.h"

#include <cstdlib>

#include "runtime/log.h"
#include "runtime/trace.h"

namespace server {

void fatalExit(runtime::Error error) noexcept {
    runtime::err<"{}\n">(runtime::errorName(error));
    runtime::printErrorTrace();
    // No destructors and no exit handlers: nothing else is to be written or released.
    std::_Exit(1);
}

}  // namespace server
