// SPDX-License-Identifier: MIT
// Tessor's command line: our two options, Qt's options passed through, and
// everything else refused with the reason.
#include "scanner/Options.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

using scanner::Action;

scanner::Options Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "Tessor");
    return scanner::ParseOptions(static_cast<int>(args.size()), args.data());
}

TEST(Options, HelpAndVersionWinOverTheWindowAndHelpOverVersion) {
    EXPECT_EQ(Parse({}).action, Action::Window);
    EXPECT_EQ(Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"-h"}).action, Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, Action::Version);
    EXPECT_EQ(Parse({"--version", "--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"-platform", "offscreen", "--version"}).action, Action::Version);
    // A sweep's own options are left to its parser, before or after --sweep.
    EXPECT_EQ(Parse({"--rounds", "2", "--sweep", "192.0.2", "--mac"}).action, Action::Sweep);
    EXPECT_EQ(Parse({"--sweep=192.0.2", "--bogus"}).action, Action::Sweep);
    EXPECT_EQ(Parse({"--sweep", "192.0.2", "--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"--format", "csv", "--history"}).action, Action::History);
    EXPECT_EQ(Parse({"--history=192.0.2", "--version"}).action, Action::Version);
    EXPECT_EQ(Parse({"--history", "--sweep", "192.0.2"}).action, Action::Misuse);
    EXPECT_EQ(Parse({"--historyx"}).action, Action::Misuse);
}

TEST(Options, QtsOwnOptionsAreLeftForQtWithTheirValues) {
    for (const auto& args :
         std::vector<std::vector<const char*>>{{"-platform", "offscreen"},
                                               {"--platform", "offscreen"},
                                               {"-platform=offscreen"},
                                               {"-style", "fusion", "-reverse"},
                                               {"-qwindowgeometry", "800x600+0+0"}}) {
        EXPECT_EQ(Parse(args).action, Action::Window) << args[0];
    }
    // A value that looks like our option belongs to Qt's option before it.
    EXPECT_EQ(Parse({"-title", "--version"}).action, Action::Window);
}

TEST(Options, AnythingElseIsMisuseNamingTheArgument) {
    for (const auto& [args, named] : std::vector<std::pair<std::vector<const char*>, std::string>>{
             {{"--bogus"}, "--bogus"},
             {{"stray"}, "stray"},
             {{"-"}, "'-'"},
             {{"-reverse=1"}, "-reverse=1"},
             {{"--help", "--frobnicate"}, "--frobnicate"},
             {{"-platform"}, "needs a value"}}) {
        const scanner::Options o = Parse(args);
        EXPECT_EQ(o.action, Action::Misuse) << named;
        EXPECT_NE(o.error.find(named), std::string::npos) << o.error;
    }
    EXPECT_EQ(scanner::HelpText().rfind(scanner::UsageText(), 0), 0u);
}

// Qt aborts without a display, so the window is refused before Qt starts,
// unless the platform named needs none.
TEST(Options, TheWindowNeedsTheDisplayItsPlatformUses) {
    struct Case {
        std::vector<const char*> args;
        std::map<std::string, std::string> env;
        bool reachable;
    };
    for (const auto& c : std::vector<Case>{
             {{}, {}, false},
             {{}, {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, false},
             {{}, {{"DISPLAY", ":0"}}, true},
             {{}, {{"WAYLAND_DISPLAY", "wayland-0"}}, true},
             {{"-display", ":1"}, {}, true},
             {{}, {{"QT_QPA_PLATFORM", "offscreen"}}, true},
             {{"-platform", "offscreen"}, {{"QT_QPA_PLATFORM", "xcb"}}, true},
             {{"-platform=minimal:enable_fonts"}, {}, true},
             {{}, {{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "wayland-0"}}, false},
             {{}, {{"QT_QPA_PLATFORM", "wayland-egl"}, {"DISPLAY", ":0"}}, false},
             {{}, {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":0"}}, true},
             {{}, {{"QT_QPA_PLATFORM", ";"}}, false},
         }) {
        auto env = [&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        };
        const std::string why = scanner::NoDisplayReason(Parse(c.args), env);
        EXPECT_EQ(why.empty(), c.reachable) << (c.args.empty() ? "" : c.args[0]) << " " << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }
}

}  // namespace
