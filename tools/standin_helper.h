// The stand-in's connection to the privileged helper daemon: each request on a
// connection of its own. Blocking; called from the stand-in's event loop.
#pragma once

#include <memory>
#include <string>

#include "tools/standin_engine.h"

namespace velto::standin {

// The daemon's socket unless the stand-in is told otherwise.
extern const char* const kDefaultHelperSocket;

std::unique_ptr<PrivilegedHelper> makeSocketHelper(std::string socketPath);

}  // namespace velto::standin
