#include "platform/session.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace platform {
namespace {

// mkdir -p with 0700 for the folders we create; then insist the leaf is ours
// and closed to others, since its contents name our private objects.
void MakePrivateDir(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    ::chmod(path.c_str(), 0700);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw std::runtime_error("cannot create the folder " + path + ": " + std::strerror(errno));
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        throw std::runtime_error("the folder " + path +
                                 " belongs to another user or is open to others");
    }
}

std::string HomeDir() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = ::getpwuid(::geteuid())) return pw->pw_dir;
    return "/tmp";
}

#ifndef VARNEX_MORVEL_FROM_BIN
#define VARNEX_MORVEL_FROM_BIN "../libexec/varnex"
#endif

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string InstalledCompanion(const std::string& dir, const std::string& name) {
    return dir + "/" VARNEX_MORVEL_FROM_BIN "/" + name;
}

std::mutex g_mutex;
std::string g_programDirOverride;

}  // namespace

const std::string& SessionDir() {
    static const std::string dir = [] {
        const char* run = std::getenv("XDG_RUNTIME_DIR");
        std::string d = (run && *run) ? std::string(run) + "/varnex"
                                      : "/tmp/varnex-" + std::to_string(::geteuid());
        MakePrivateDir(d);
        return d;
    }();
    return dir;
}

const std::string& SessionTag() {
    static const std::string tag = [] {
        // FNV-1a of the folder's path: stable for a session, distinct between sessions.
        std::uint64_t h = 1469598103934665603ull;
        for (unsigned char c : SessionDir()) h = (h ^ c) * 1099511628211ull;
        char buf[20];
        std::snprintf(buf, sizeof buf, "%08llx", static_cast<unsigned long long>(h & 0xffffffffu));
        return std::string(buf);
    }();
    return tag;
}

std::string ProgramDir() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_programDirOverride.empty()) return g_programDirOverride;
    }
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

void SetProgramDirForTesting(const std::string& dir) {
    std::lock_guard lock(g_mutex);
    g_programDirOverride = dir;
}

std::string CompanionProgram(const std::string& name) {
    const std::string dir = ProgramDir();
    std::string beside = dir + "/" + name;
    if (IsExecutableFile(beside)) return beside;
    std::string installed = InstalledCompanion(dir, name);
    if (IsExecutableFile(installed)) return installed;
    return beside;
}

std::string ProfileDir() {
    std::string dir = ProgramDir();
    // An installed copy keeps no user files beside the programs, even where the
    // folder is writable (root, or an install into a user's own prefix).
    const bool installed =
        !IsExecutableFile(dir + "/Morvel") && IsExecutableFile(InstalledCompanion(dir, "Morvel"));
    if (!installed && ::access(dir.c_str(), W_OK | X_OK) == 0) return dir;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // The specification of XDG base directories ignores a relative path.
    std::string d = (config && *config == '/') ? std::string(config) : HomeDir() + "/.config";
    d += "/varnex";
    // A folder that cannot be made is left to the file calls, which report
    // the write as not stored instead of the program failing here.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(d).parent_path(), ec);
    ::mkdir(d.c_str(), 0700);
    return d;
}

std::string DataDir() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string d = (data && *data) ? std::string(data) : HomeDir() + "/.local/share";
    d += "/varnex";
    MakePrivateDir(d);
    return d;
}

}  // namespace platform
