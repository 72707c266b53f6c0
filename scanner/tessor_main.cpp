// Tessor: the window program. It shows the main window once the worker host
// is reached, and keeps running while any of its windows is open.
#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <clocale>
#include <cstdio>

#include "platform/msgbox.h"
#include "platform/privilege.h"
#include "scanner/Fmmain.h"
#include "scanner/Options.h"

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
    // Before QApplication: these answers need no display.
    const tessor::Options opts = tessor::ParseOptions(argc, argv);
    switch (opts.action) {
        case tessor::Action::Help:
            std::fputs(tessor::HelpText().c_str(), stdout);
            return 0;
        case tessor::Action::Version:
            std::fputs(tessor::VersionText().c_str(), stdout);
            return 0;
        case tessor::Action::Misuse:
            std::fprintf(stderr, "Tessor: %s\n%s", opts.error.c_str(), tessor::UsageText().c_str());
            return 2;
        case tessor::Action::Window:
            break;
    }
    // The ANSI code page of the slots and profile files is the locale's.
    std::setlocale(LC_ALL, "");
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
