// Tessor's command line, read before any window exists: --help and --version
// need no display, and a mistyped option is refused before Qt starts. Qt's own
// options (-platform, -style, ...) are recognised and left for QApplication.
// Qt-free, so that the parser is tested and extended without a window.
#pragma once

#include <string>

namespace tessor {

enum class Action {
    Window,   // start the window program as usual
    Help,     // print HelpText() to standard output, exit 0
    Version,  // print VersionText() to standard output, exit 0
    Misuse,   // print error and UsageText() to standard error, exit 2
};

struct Options {
    Action action = Action::Window;
    std::string error;  // for Misuse: what was wrong, naming the argument
};

Options ParseOptions(int argc, const char* const* argv);

std::string UsageText();
std::string HelpText();
std::string VersionText();

}  // namespace tessor
