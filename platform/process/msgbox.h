// SPDX-License-Identifier: MIT
// Message boxes: the four Winsock messages of the echo are the only texts the
// system shows the user unasked. Tessor installs a handler that shows a modal Qt
// box; without one (Morvel), the text goes to the system log and standard error.
#pragma once

#include <functional>
#include <string>

namespace platform {

enum class MsgIcon { None, Warning };

using MessageHandler = std::function<void(const std::string& text, MsgIcon icon)>;

// Shows `text`; blocks the calling thread until the user has closed the box.
void ShowMessage(const std::string& text, MsgIcon icon);

// The same, but without a handler (no window) `logText` goes to the system
// log and standard error: their readers, a script or an administrator, get
// English whatever the locale.
void ShowMessage(const std::string& text, MsgIcon icon, const std::string& logText);

// Replaces the handler (an empty one restores the default); returns the previous.
MessageHandler SetMessageHandler(MessageHandler handler);

// A diagnostic line, printf-style, to the system log and to standard error: a
// detached Morvel's standard error is /dev/null, so the log is where it is seen.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
