// SPDX-License-Identifier: GPL-3.0-or-later
// The shape of the program's entry point: the application object first, then the program inside one
// guarded block. An exception that escapes the program is shown in a message box, for which the
// application object has to outlive the block, and the entry point still returns 0.
#pragma once

#include <functional>

namespace sondeco {

// Creates the QApplication from the command line, runs `program` and returns what it returns; after an
// escaping exception, returns 0 once its message box is closed (or, without an application object or
// after a termination signal, once the message is on the standard error).
int runGuarded(int& argc, char** argv, const std::function<int()>& program);

}  // namespace sondeco
