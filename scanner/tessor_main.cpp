// SPDX-License-Identifier: MIT
// Tessor: the window program. It shows the main window once the worker host
// is reached, and keeps running while any of its windows is open. With
// --sweep it sweeps once for a script instead, with no window and no display,
// and with --history it shows what the history of sweeps knows.
#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/process/msgbox.h"
#include "platform/process/privilege.h"
#include "platform/process/process.h"
#include "scanner/Fmmain.h"
#include "scanner/Options.h"
#include "sweep/Headless.h"
#include "sweep/HistoryReport.h"
#include "sweep/SweepOptions.h"
#include "windows/language.h"

namespace {

void ShowBox(const std::string& text, platform::MsgIcon icon) {
    auto show = [&] {
        QMessageBox box(
            icon == platform::MsgIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
            QCoreApplication::applicationName(), QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    };
    // Boxes are widgets: a caller on another thread waits while the GUI thread shows it.
    if (QThread::currentThread() == qApp->thread())
        show();
    else
        QMetaObject::invokeMethod(qApp, show, Qt::BlockingQueuedConnection);
}

int SweepFromScript(int argc, char** argv) {
    auto parsed = sweep::ParseSweepArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* bad = std::get_if<sweep::SweepArgsError>(&parsed)) {
        std::cerr << "Tessor: " << bad->message << "\n" << sweep::SweepUsage() << "\n";
        return bad->exitCode;
    }
    return sweep::RunSweepAlone(std::get<sweep::SweepOptions>(parsed), std::cout, std::cerr);
}

int HistoryFromScript(int argc, char** argv) {
    auto parsed = sweep::ParseHistoryArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* bad = std::get_if<sweep::SweepArgsError>(&parsed)) {
        std::cerr << "Tessor: " << bad->message << "\n" << sweep::HistoryUsage() << "\n";
        return bad->exitCode;
    }
    return sweep::ShowHistory(std::get<sweep::HistoryOptions>(parsed), std::cout, std::cerr);
}

// Qt's messages while it opens the display, held back: when it cannot open
// one, the user gets one line and exit code 1 instead of Qt's abort.
// Each: the text alone, and the line as Qt would print it.
std::vector<std::pair<std::string, std::string>> heldMessages;

void HoldStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        // Qt's own reasons come first; its closing text only says that it failed.
        std::string why = heldMessages.empty() ? text.section('\n', 0, 0).toStdString() : "";
        for (const auto& held : heldMessages) why += (why.empty() ? "" : "; ") + held.first;
        std::fprintf(stderr, "Tessor: cannot start the window: %s\n", why.c_str());
        std::_Exit(1);
    }
    heldMessages.emplace_back(text.toStdString(),
                              qFormatLogMessage(type, context, text).toStdString());
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor, so none takes a closed stream's place.
    if (!platform::OpenStandardStreams()) return 1;
    // Before Qt loads any plugin: the window program never runs raised.
    if (!platform::DropCapabilities()) {
        std::fputs(
            "Tessor: cannot drop the capabilities this program was given; remove them "
            "(setcap -r) and start it again.\n",
            stderr);
        return 1;
    }
    // Before QApplication: these answers need no display.
    const scanner::Options opts = scanner::ParseOptions(argc, argv);
    switch (opts.action) {
        case scanner::Action::Help:
            std::fputs(scanner::HelpText().c_str(), stdout);
            return 0;
        case scanner::Action::Version:
            std::fputs(scanner::VersionText().c_str(), stdout);
            return 0;
        case scanner::Action::Misuse:
            std::fprintf(stderr, "Tessor: %s\n%s", opts.error.c_str(),
                         scanner::UsageText().c_str());
            return 2;
        case scanner::Action::Window:
        case scanner::Action::Sweep:
        case scanner::Action::History:
            break;
    }
    // The ANSI code page of the slots and profile files is the locale's.
    std::setlocale(LC_ALL, "");
    // No Qt object exists yet: a sweep from a script loads no platform plugin.
    // Its reader is a script or a log: the system's error texts stay English
    // whatever the locale, as its own are.
    if (opts.action == scanner::Action::Sweep || opts.action == scanner::Action::History) {
        std::setlocale(LC_MESSAGES, "C");
        return opts.action == scanner::Action::Sweep ? SweepFromScript(argc, argv)
                                                     : HistoryFromScript(argc, argv);
    }
    if (const std::string why = scanner::NoDisplayReason(opts, std::getenv); !why.empty()) {
        std::fprintf(stderr, "Tessor: %s\n", why.c_str());
        return 1;
    }
    qInstallMessageHandler(HoldStartMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    for (const auto& held : heldMessages) std::fprintf(stderr, "%s\n", held.second.c_str());
    QApplication::setApplicationName("Tessor");
    windows::InstallTranslation(std::getenv);
    platform::SetMessageHandler(ShowBox);

    auto* main = new scanner::Fmmain;
    main->setAttribute(Qt::WA_DeleteOnClose);
    if (!main->Form_Load()) {
        delete main;
        return 1;
    }
    main->show();
    return app.exec();
}
