// SPDX-License-Identifier: MIT
#include "windows/language.h"

#include <QCoreApplication>
#include <QTranslator>
#include <algorithm>
#include <string_view>

namespace windows {
namespace {

// "en", "en_GB", "en_US.UTF-8", "en@quot"; not "eo" or "eng".
bool IsEnglish(std::string_view name) {
    return name.starts_with("en") &&
           (name.size() == 2 || name[2] == '_' || name[2] == '.' || name[2] == '@');
}

bool IsPlainC(std::string_view name) {
    return name == "C" || name == "POSIX" || name.starts_with("C.");
}

}  // namespace

bool WantsEnglish(const EnvLookup& env) {
    auto value = [&](const char* name) -> std::string_view {
        const char* v = env(name);
        return v != nullptr ? v : "";
    };
    std::string_view locale = value("LC_ALL");
    if (locale.empty()) locale = value("LC_MESSAGES");
    if (locale.empty()) locale = value("LANG");
    // As gettext: the C locale ignores LANGUAGE, so a script's or a test's
    // LC_ALL=C.UTF-8 always gets the source texts.
    if (locale.empty() || IsPlainC(locale)) return false;
    // A language without a catalogue is passed over; Chinese, the source
    // texts, always has one.
    for (std::string_view list = value("LANGUAGE"); !list.empty();) {
        const std::string_view entry = list.substr(0, list.find(':'));
        if (IsEnglish(entry)) return true;
        if (entry.starts_with("zh")) return false;
        list.remove_prefix(std::min(list.size(), entry.size() + 1));
    }
    return IsEnglish(locale);
}

bool InstallTranslation(const EnvLookup& env) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || !WantsEnglish(env)) return false;
    // The application owns it: it must outlive every window that uses it.
    auto* english = new QTranslator(app);
    if (!english->load(QStringLiteral(":/i18n/Tessor_en.qm")) ||
        !QCoreApplication::installTranslator(english)) {
        delete english;
        return false;
    }
    return true;
}

}  // namespace windows
