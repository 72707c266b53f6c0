// SPDX-License-Identifier: MIT
#include "tests/support/fm_support.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

std::vector<pid_t> OwnMorvels() {
    std::vector<pid_t> found;
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    const std::string mine = std::string("XDG_RUNTIME_DIR=") + (run ? run : "");
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code e2;
        auto exe = std::filesystem::read_symlink(entry.path() / "exe", e2);
        if (e2 || exe.filename() != "Morvel") continue;
        std::ifstream env(entry.path() / "environ", std::ios::binary);
        std::string var;
        bool ours = false;
        while (std::getline(env, var, '\0'))
            if (var == mine) ours = true;
        // A zombie that still shows its exe link is gone all the same.
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        auto close = line.rfind(')');
        bool zombie =
            close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
        if (ours && !zombie) found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
}

MessageCatcher::MessageCatcher() {
    previous_ = platform::SetMessageHandler([this](const std::string& text, platform::MsgIcon) {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
    });
}

MessageCatcher::~MessageCatcher() { platform::SetMessageHandler(previous_); }

std::vector<std::string> MessageCatcher::Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool MakeReadOnly(const std::string& dir, std::string* why) {
    if (::geteuid() != 0) {
        if (::chmod(dir.c_str(), 0555) == 0) return true;
        if (why) *why = std::string("chmod: ") + std::strerror(errno);
        return false;
    }
    // The mount namespace is per thread after unshare: the window's thread is
    // this one, so the writes the test makes see the read-only folder.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        if (why) *why = std::string("read-only bind mount: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void UndoReadOnly(const std::string& dir) {
    if (::geteuid() != 0)
        ::chmod(dir.c_str(), 0755);
    else
        ::umount2(dir.c_str(), MNT_DETACH);
}

}  // namespace testsupport
