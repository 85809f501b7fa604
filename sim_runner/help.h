// The text of spoolsync-sim --help: the options, the scenario language
// (every command and key) and the exit status.
#pragma once

#include <string_view>

namespace simrunner {

std::string_view HelpText();

}  // namespace simrunner
