// SPDX-License-Identifier: MIT
#include "scanner/Options.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "sweep/SweepOptions.h"

#ifndef VARNEX_VERSION
#define VARNEX_VERSION "unknown"
#endif

namespace scanner {
namespace {

// QGuiApplication's and QApplication's options (one or two leading dashes).
constexpr std::array kQtWithValue = {
    "platform",        "platformpluginpath",
    "platformtheme",   "plugin",
    "qwindowgeometry", "qwindowicon",
    "qwindowtitle",    "geometry",
    "title",           "display",
    "style",           "stylesheet",
    "session",         "name",
    "fontengine",      "qmljsdebugger",
    "dialogs",         "ncols",
    "visual",
};
constexpr std::array kQtFlags = {
    "reverse", "widgetcount", "nograb", "dograb", "sync", "testability", "cmap",
};

template <std::size_t N>
bool Among(std::string_view name, const std::array<const char*, N>& names) {
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv) {
    Options opts;
    auto misuse = [&](std::string text) {
        opts.action = Action::Misuse;
        opts.error = std::move(text);
        return opts;
    };
    // --sweep and --history bring options of their own, read by
    // ParseSweepArgs and ParseHistoryArgs; only --help and --version answer
    // before them.
    auto named = [](std::string_view arg, std::string_view name) {
        return arg == name ||
               (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=');
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const Action mode = named(arg, "--sweep")     ? Action::Sweep
                            : named(arg, "--history") ? Action::History
                                                      : Action::Window;
        if (mode == Action::Window) continue;
        if (opts.action != Action::Window && opts.action != mode)
            return misuse("--sweep and --history do not go together");
        opts.action = mode;
    }
    if (opts.action != Action::Window) {
        for (int j = 1; j < argc; ++j) {
            const std::string_view other = argv[j];
            if (other == "-h" || other == "--help") {
                opts.action = Action::Help;
                return opts;
            }
            if (other == "--version") opts.action = Action::Version;
        }
        return opts;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            opts.action = Action::Help;
            continue;
        }
        if (arg == "--version") {
            if (opts.action != Action::Help) opts.action = Action::Version;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-')
            return misuse("unexpected argument '" + std::string(arg) + "'");
        std::string_view name = arg.substr(arg[1] == '-' ? 2 : 1);
        const bool inlineValue = name.find('=') != std::string_view::npos;
        name = name.substr(0, name.find('='));
        if (Among(name, kQtFlags) && !inlineValue) continue;
        if (Among(name, kQtWithValue)) {
            std::string_view value;
            if (inlineValue) {
                value = arg.substr(arg.find('=') + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return misuse("option '" + std::string(arg) + "' needs a value");
            }
            if (name == "platform") opts.qtPlatform = value;
            if (name == "display") opts.qtDisplay = value;
            continue;
        }
        return misuse("unknown option '" + std::string(arg) + "'");
    }
    return opts;
}

std::string NoDisplayReason(const Options& opts, const EnvLookup& env) {
    auto given = [&](const char* name) {
        const char* v = env(name);
        return v != nullptr && *v != '\0';
    };
    const bool x = !opts.qtDisplay.empty() || given("DISPLAY");
    const bool wayland = given("WAYLAND_DISPLAY");
    std::string platform = opts.qtPlatform;
    if (platform.empty() && given("QT_QPA_PLATFORM")) platform = env("QT_QPA_PLATFORM");
    const std::string hint =
        " (start it in a desktop session or under xvfb-run; Tessor --sweep needs no display)";
    if (platform.empty()) {
        if (x || wayland) return {};
        return "no display to show the window on: DISPLAY and WAYLAND_DISPLAY are unset" + hint;
    }
    // Qt tries "name:arguments" entries in turn, separated by ';'.
    for (std::string_view rest = platform; !rest.empty();) {
        const std::string_view entry = rest.substr(0, rest.find(';'));
        const std::string_view name = entry.substr(0, entry.find(':'));
        if (name == "xcb" ? x : name.starts_with("wayland") ? wayland : !name.empty()) return {};
        rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
    }
    return "no display for the Qt platform '" + platform +
           "': xcb needs DISPLAY, wayland WAYLAND_DISPLAY" + hint;
}

std::string UsageText() {
    return std::string("Usage: Tessor [Qt options]\n       ") + sweep::kSweepSynopsis +
           "\n       " + sweep::kHistorySynopsis + "\n       Tessor --help | --version\n";
}

std::string HelpText() {
    return UsageText() +
           "\n"
           "Varnex's window program: sweeps the 255 hosts of an IPv4 subnet with ICMP\n"
           "echo requests and shows every host as a cell of a 16 by 16 grid.\n"
           "\n"
           "  -h, --help     show this text and exit\n"
           "      --version  show the version and exit\n"
           "\n"
           "Sweep from a script, without a window or a display:\n"
           "  --sweep A.B.C          sweep A.B.C.1 to A.B.C.255 once and print the result\n"
           "  --rounds N             rounds of echoes, 1 to 9999 (default 1)\n"
           "  --mac                  collect the MAC address and its vendor\n"
           "  --format text|csv|json the report's form (default text)\n"
           "  --changes              mark each host's change since the subnet's last sweep:\n"
           "                         new, moved, mac (another MAC), up or down\n"
           "  --fail-on LIST         exit with 3 when a change of the comma LIST occurred\n"
           "                         (new, moved, mac, up, down); implies --changes\n"
           "  --keep-days N          keep N days of sweeps in the history (default 90)\n"
           "  --timeout MS           each echo's wait for its reply, 50 to 5000 ms (default 200)\n"
           "  Per host: seen (echo, arp: answered ARP only, or none), its name by a reverse\n"
           "  look-up (at most a second after the last round), local_mac (a locally\n"
           "  administered MAC, marked * in the text); a host seen by ARP only has its MAC;\n"
           "  previous_mac and previous_ip for the changes mac and moved.\n"
           "  Exit code 0 when the sweep ran, 1 when Morvel cannot be reached, may send no\n"
           "  echo or lost a worker (the reason on stderr, nothing recorded) or when the\n"
           "  history cannot record the sweep (the report is printed all the same), 2 for\n"
           "  bad options, 3 for a change listed by --fail-on.\n"
           "  Each sweep runs in a private session of its own ($VARNEX_SESSION, set for\n"
           "  the Morvel it starts): no window and no other sweep shares its slots.\n"
           "\n"
           "The history of sweeps, the window's and the script's (history.db):\n"
           "  --history [A.B.C[.N]]  without a value the subnets it holds; with A.B.C the\n"
           "                         devices seen there (MAC, vendor, last address, name,\n"
           "                         first and last seen, sweeps); with A.B.C.N when that\n"
           "                         address was seen, and with which MAC; in the --format\n"
           "                         of a sweep's report\n"
           "\n"
           "Qt's own options (-platform NAME, -style NAME, -reverse, ...) go to Qt.\n"
           "Settings (set.ini), remarks (Ps.ini) and the history (history.db) are kept\n"
           "beside the program when its folder is writable, otherwise in\n"
           "$XDG_CONFIG_HOME/varnex (~/.config/varnex).\n"
           "Run-time state (Morvel's socket, the name of the slots' private folder on\n"
           "tmpfs) is kept in $XDG_RUNTIME_DIR/varnex (~/.cache/varnex-session).\n"
           "In the window, the right button, the menu key or Shift+F10 on a host opens its\n"
           "menu (continuous ping, copy, remark, Wake-on-LAN, changes on the grid); Ctrl+T\n"
           "opens the host table (sort, filter, copy, export as CSV or JSON).\n"
           "The window is in English under an English locale (LANG=en_US.UTF-8, for\n"
           "example), in Chinese under any other.\n"
           "The manual page Tessor(1) has the files, the environment and examples.\n";
}

std::string VersionText() { return "Tessor (Varnex) " VARNEX_VERSION "\n"; }

}  // namespace scanner
