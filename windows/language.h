// SPDX-License-Identifier: MIT
// The language of Tessor's windows. Their Chinese texts are the source of
// every caption and what every locale shows, C and POSIX included, except an
// English one: that gets the English catalogue (Tessor_en.ts), compiled into
// the program as a resource so that a copied program keeps it and start-up
// looks for no file.
#pragma once

#include <functional>

namespace windows {

// Reads one environment variable (getenv); null when it is unset.
using EnvLookup = std::function<const char*(const char*)>;

// True when the user's messages locale is English: the first of LC_ALL,
// LC_MESSAGES and LANG that is set names "en" or "en_*". Outside the C and
// POSIX locales, LANGUAGE (a gettext preference list such as "de:en") comes
// first: its first English or Chinese entry decides.
bool WantsEnglish(const EnvLookup& env);

// Installs the English catalogue in the application when WantsEnglish says
// so, before any window is made; returns whether it did.
bool InstallTranslation(const EnvLookup& env);

}  // namespace windows
