#include "qtprocess.h"

#include <cstdio>
#include <cstdlib>

namespace talvenor {

void QtProcess::exit(int code) {
    std::fflush(nullptr);
    // No destructors and no further event handling: the window's commands may be in the
    // middle of a run that yielded, and none of them may go on.
    std::_Exit(code);
}

} // namespace talvenor
