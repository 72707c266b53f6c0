// Tessor: the window program. It shows the main window once the worker host
// is reached, and keeps running while any of its windows is open. With
// --sweep it sweeps once for a script instead, with no window and no display:
// that is decided before any Qt object exists, so no platform plugin loads.
#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <clocale>
#include <cstdio>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include "platform/msgbox.h"
#include "platform/privilege.h"
#include "scanner/Fmmain.h"
#include "scanner/Headless.h"
#include "scanner/SweepOptions.h"

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

int SweepFromScript(const std::vector<std::string>& args) {
    auto parsed = ParseSweepArgs(args);
    if (const auto* bad = std::get_if<SweepArgsError>(&parsed)) {
        std::cerr << "Tessor: " << bad->message << "\n" << SweepUsage() << "\n";
        return bad->exitCode;
    }
    return scanner::RunSweep(std::get<SweepOptions>(parsed), std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    // Before Qt loads any plugin: the window program never runs raised.
    if (!platform::DropCapabilities()) {
        std::fputs(
            "Tessor: cannot drop the capabilities this program was given; remove them "
            "(setcap -r) and start it again.\n",
            stderr);
        return 1;
    }
    // The ANSI code page of the slots and profile files is the locale's.
    std::setlocale(LC_ALL, "");
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args)
        if (a == "--sweep" || a.starts_with("--sweep=")) return SweepFromScript(args);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tessor");
    platform::SetMessageHandler(ShowBox);

    auto* main = new Fmmain;
    main->setAttribute(Qt::WA_DeleteOnClose);
    if (!main->Form_Load()) {
        delete main;
        return 1;
    }
    main->show();
    return app.exec();
}
