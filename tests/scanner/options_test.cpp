// Tessor's command line: our two options, Qt's options passed through, and
// everything else refused with the reason.
#include "scanner/Options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tessor::Action;

tessor::Options Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "Tessor");
    return tessor::ParseOptions(static_cast<int>(args.size()), args.data());
}

TEST(Options, HelpAndVersionWinOverTheWindowAndHelpOverVersion) {
    EXPECT_EQ(Parse({}).action, Action::Window);
    EXPECT_EQ(Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"-h"}).action, Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, Action::Version);
    EXPECT_EQ(Parse({"--version", "--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"-platform", "offscreen", "--version"}).action, Action::Version);
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
        const tessor::Options o = Parse(args);
        EXPECT_EQ(o.action, Action::Misuse) << named;
        EXPECT_NE(o.error.find(named), std::string::npos) << o.error;
    }
    EXPECT_EQ(tessor::HelpText().rfind(tessor::UsageText(), 0), 0u);
}

}  // namespace
