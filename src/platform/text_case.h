// Comparing texts the way a user reads them: case folded over the whole UTF-8 text, not
// only ASCII, so that "Ä" and "ä" compare equal.
#pragma once

#include <string>

namespace talkhub::platform {

std::string foldCase(const std::string& text);

}  // namespace talkhub::platform
