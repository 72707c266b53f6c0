// SPDX-License-Identifier: MIT
// Tessor's command line, read before any window exists: --help and --version
// need no display, and a mistyped option is refused before Qt starts. Qt's own
// options (-platform, -style, ...) are recognised and left for QApplication.
// Qt-free, so that the parser is tested and extended without a window.
#pragma once

#include <functional>
#include <string>

namespace scanner {

enum class Action {
    Window,   // start the window program as usual
    Help,     // print HelpText() to standard output, exit 0
    Version,  // print VersionText() to standard output, exit 0
    Misuse,   // print error and UsageText() to standard error, exit 2
    Sweep,    // a sweep from a script: its options are ParseSweepArgs' to read
    History,  // what the history knows: its options are ParseHistoryArgs' to read
};

struct Options {
    Action action = Action::Window;
    std::string error;       // for Misuse: what was wrong, naming the argument
    std::string qtPlatform;  // the value of Qt's -platform, when given
    std::string qtDisplay;   // the value of Qt's -display (an X display), when given
};

Options ParseOptions(int argc, const char* const* argv);

// Why the window cannot reach a display, in one line; empty when it can.
// Qt aborts when it finds none, so this is asked before Qt starts. A platform
// named by -platform or QT_QPA_PLATFORM ("offscreen", "xcb;wayland", ...) is
// taken at its word, except that xcb needs an X display and wayland
// WAYLAND_DISPLAY. `env` reads the environment (getenv).
using EnvLookup = std::function<const char*(const char*)>;
std::string NoDisplayReason(const Options& opts, const EnvLookup& env);

std::string UsageText();
std::string HelpText();
std::string VersionText();

}  // namespace scanner
