// SPDX-License-Identifier: MIT
#include "windows/language.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// Only an English messages locale gets English; C, POSIX and every other
// language keep the Chinese source texts.
TEST(Language, EnglishOnlyForAnEnglishMessagesLocale) {
    using Env = std::map<std::string, std::string>;
    const std::pair<Env, bool> cases[] = {
        {{}, false},
        {{{"LANG", "C"}}, false},
        {{{"LANG", "POSIX"}}, false},
        {{{"LANG", "C.UTF-8"}, {"LANGUAGE", "en"}}, false},  // C ignores LANGUAGE
        {{{"LC_ALL", "C.UTF-8"}, {"LANG", "en_US.UTF-8"}}, false},
        {{{"LANG", "zh_CN.GBK"}}, false},
        {{{"LANG", "de_DE.UTF-8"}}, false},
        {{{"LANG", "eo"}}, false},
        {{{"LANG", "en_US.UTF-8"}}, true},
        {{{"LANG", "en_GB"}}, true},
        {{{"LANG", "en"}}, true},
        {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, true},
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "zh_CN.UTF-8"}}, false},
        {{{"LC_ALL", "en_IE.UTF-8"}, {"LC_MESSAGES", "zh_CN.UTF-8"}}, true},
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", ""}}, true},  // empty is unset
        {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de:en"}}, true},
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "zh_CN:en"}}, false},
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "fr:de"}}, true},  // no catalogue: the locale
    };
    for (const auto& c : cases) {
        const Env& env = c.first;
        std::string shown;
        for (const auto& [k, v] : env) shown += k + "=" + v + " ";
        EXPECT_EQ(windows::WantsEnglish([&env](const char* name) -> const char* {
                      const auto it = env.find(name);
                      return it == env.end() ? nullptr : it->second.c_str();
                  }),
                  c.second)
            << shown;
    }
}

}  // namespace
