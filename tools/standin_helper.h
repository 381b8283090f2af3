// The stand-in's side of the privileged helper daemon: each request on a
// connection of its own. Blocking; called from the stand-in's event loop.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tools/standin_engine.h"

namespace velto::standin {

std::unique_ptr<PrivilegedHelper> makeSocketHelper(std::string socketPath,
                                                   std::chrono::milliseconds timeout);

}  // namespace velto::standin
