// SPDX-License-Identifier: MIT
// Helpers for the main window's tests: finding this test's own Morvel, catching
// the message boxes the window shows, and small file chores.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/process/msgbox.h"

namespace testsupport {

// The Morvel processes of this test's session (their XDG_RUNTIME_DIR is ours),
// so parallel tests never see each other's.
std::vector<pid_t> OwnMorvels();

// Installs a message handler that records the texts instead of showing a box;
// the previous handler comes back on destruction.
class MessageCatcher {
  public:
    MessageCatcher();
    ~MessageCatcher();
    MessageCatcher(const MessageCatcher&) = delete;
    MessageCatcher& operator=(const MessageCatcher&) = delete;

    std::vector<std::string> Texts() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    platform::MessageHandler previous_;
};

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// Makes `dir` read-only for this process (a read-only bind mount in a mount
// namespace of the calling thread when running as root, whom file modes do
// not stop; chmod otherwise). False (and why) when that is not possible here.
bool MakeReadOnly(const std::string& dir, std::string* why);
void UndoReadOnly(const std::string& dir);

}  // namespace testsupport
