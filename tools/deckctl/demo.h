// `deckctl demo`: a session against a virtual deck started in-process.
#pragma once

#include <ostream>

#include "tools/hostkit/module.h"

namespace deckctl {

// Exit status 0 only when every step gave the result it should.
int RunDemo(const hostkit::Module& module, std::ostream& out, bool json);

}  // namespace deckctl
