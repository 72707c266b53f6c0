// SPDX-License-Identifier: MIT
#include "platform/process/session.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace platform {
namespace {

// Judged on an open descriptor, so a link or a folder swapped in between
// cannot fool the check. Its contents name our private objects, so a folder of
// another user, or one open to others, is refused.
void CheckPrivateDir(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ELOOP || err == ENOTDIR)
            throw std::runtime_error("the folder " + path + " is a link or not a folder: refused");
        throw std::runtime_error("cannot open the folder " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    int rc = ::fstat(fd, &st);
    int err = errno;
    ::close(fd);
    if (rc != 0)
        throw std::runtime_error("cannot examine the folder " + path + ": " + std::strerror(err));
    if (st.st_uid != ::geteuid())
        throw std::runtime_error("the folder " + path + " belongs to another user: refused");
    if ((st.st_mode & 077) != 0)
        throw std::runtime_error("the folder " + path +
                                 " is open to other users: refused (make it mode 0700)");
}

// The leaf is made 0700 (its parents as usual) and then checked; nothing is
// changed through the path.
void MakePrivateDir(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create the folder " + path + ": " + std::strerror(errno));
    CheckPrivateDir(path);
}

std::string HomeDir() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir && *pw->pw_dir)
        return pw->pw_dir;
    // A shared folder such as /tmp would let another user claim our names first.
    throw std::runtime_error("neither XDG_RUNTIME_DIR nor a home folder is known for this user");
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

std::mutex foldersMutex;
std::string programDirOverride;

constexpr const char* kPrivateVar = "VARNEX_SESSION";
constexpr const char* kPrivatePrefix = "sweep-";
// Held by a private session for its life, in its folder; held by the one
// making or clearing private sessions, in the user's folder.
constexpr const char* kPrivateLock = "session.lock";
constexpr const char* kPrivateGuard = "sessions.lock";

std::atomic<bool> sessionFixed{false};

std::string UserSessionDir() {
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    std::string d =
        (run && *run) ? std::string(run) + "/varnex" : HomeDir() + "/.cache/varnex-session";
    MakePrivateDir(d);
    return d;
}

// The folder $VARNEX_SESSION names, checked as the user's own is, and only
// where a private session is made: another path could be any folder.
std::string CheckedPrivateSession(const std::string& path) {
    const std::filesystem::path p(path);
    if (!p.is_absolute() || p.filename().string().rfind(kPrivatePrefix, 0) != 0 ||
        p.parent_path().string() != UserSessionDir())
        throw std::runtime_error(std::string("$") + kPrivateVar + " names " + path +
                                 ", which is not a private session folder: refused");
    CheckPrivateDir(path);
    return path;
}

int OpenLock(const std::string& path, bool create) {
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
}

// Whether nothing holds the lock file at path (a missing one holds nothing).
bool Unheld(const std::string& path) {
    const int fd = OpenLock(path, false);
    if (fd < 0) return errno == ENOENT;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// Private sessions of runs that ended without removing theirs (killed): no
// run holds their lock and no worker host serves them any more.
void RemoveAbandonedSessions(const std::string& user) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(user, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(kPrivatePrefix, 0) != 0 || !e.is_directory(ec) || e.is_symlink(ec)) continue;
        const std::string dir = e.path().string();
        // A folder without its lock is being removed by its own run.
        if (!std::filesystem::exists(dir + "/" + kPrivateLock, ec)) continue;
        if (Unheld(dir + "/" + kPrivateLock) && Unheld(dir + "/objects.lock"))
            std::filesystem::remove_all(dir, ec);
    }
}

}  // namespace

const std::string& SessionDir() {
    static const std::string dir = [] {
        sessionFixed = true;
        const char* chosen = std::getenv(kPrivateVar);
        return (chosen && *chosen) ? CheckedPrivateSession(chosen) : UserSessionDir();
    }();
    return dir;
}

PrivateSession::PrivateSession() {
    if (sessionFixed)
        throw std::logic_error("a private session is chosen before the session is first used");
    const std::string user = UserSessionDir();
    // Making one and clearing abandoned ones take turns, so a folder is never
    // taken for abandoned between its making and its lock.
    const int guard = OpenLock(user + "/" + kPrivateGuard, true);
    if (guard < 0 || ::flock(guard, LOCK_EX) != 0) {
        const int err = errno;
        if (guard >= 0) ::close(guard);
        throw std::runtime_error("cannot lock " + user + "/" + kPrivateGuard + ": " +
                                 std::strerror(err));
    }
    RemoveAbandonedSessions(user);
    std::string tmpl = user + "/" + kPrivatePrefix + "XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        const int err = errno;
        ::close(guard);
        throw std::runtime_error("cannot create a private session in " + user + ": " +
                                 std::strerror(err));
    }
    dir_ = tmpl;
    lockFd_ = OpenLock(dir_ + "/" + kPrivateLock, true);
    const bool locked = lockFd_ >= 0 && ::flock(lockFd_, LOCK_EX) == 0;
    ::close(guard);
    if (!locked) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        throw std::runtime_error("cannot lock the private session " + dir_);
    }
    ::setenv(kPrivateVar, dir_.c_str(), 1);
}

PrivateSession::~PrivateSession() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    if (lockFd_ >= 0) ::close(lockFd_);
    ::unsetenv(kPrivateVar);
}

std::string ProgramDir() {
    {
        std::lock_guard lock(foldersMutex);
        if (!programDirOverride.empty()) return programDirOverride;
    }
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

void SetProgramDirForTesting(const std::string& dir) {
    std::lock_guard lock(foldersMutex);
    programDirOverride = dir;
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
    // XDG base directories ignore a relative path.
    std::string d;
    if (config && *config == '/') {
        d = config;
    } else {
        // No home either: stay with the program's folder, where a write is then
        // reported as not stored rather than the window failing.
        try {
            d = HomeDir() + "/.config";
        } catch (const std::runtime_error&) {
            return dir;
        }
    }
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
