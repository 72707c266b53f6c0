// SPDX-License-Identifier: MIT
#include "platform/process/msgbox.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {
namespace {

std::mutex handlerMutex;
MessageHandler installedHandler;

// Without a window the text goes where an administrator looks for a daemon's
// complaints, and to the terminal of whoever started the program.
void LogMessage(const std::string& text, MsgIcon icon) {
    syslog(icon == MsgIcon::Warning ? LOG_WARNING : LOG_NOTICE, "%s", text.c_str());
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
}

}  // namespace

void ShowMessage(const std::string& text, MsgIcon icon) { ShowMessage(text, icon, text); }

void ShowMessage(const std::string& text, MsgIcon icon, const std::string& logText) {
    MessageHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = installedHandler;
    }
    // Called outside the lock: a modal box blocks this thread, not the others.
    if (handler) {
        handler(text, icon);
    } else {
        LogMessage(logText, icon);
    }
}

void LogLine(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    syslog(LOG_WARNING, "%s", text);
    std::fprintf(stderr, "%s\n", text);
}

MessageHandler SetMessageHandler(MessageHandler handler) {
    std::lock_guard lock(handlerMutex);
    MessageHandler previous = std::move(installedHandler);
    installedHandler = std::move(handler);
    return previous;
}

}  // namespace platform
