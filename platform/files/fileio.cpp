// SPDX-License-Identifier: MIT
#include "platform/files/fileio.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>

namespace platform {

bool WriteFully(int fd, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

ReadResult ReadAll(const std::string& path, std::string& out) {
    out.clear();
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat st;
    int refused = 0;
    if (::fstat(fd, &st) != 0) {
        refused = errno;
    } else if (!S_ISREG(st.st_mode)) {
        refused = EINVAL;
    } else if (static_cast<std::uint64_t>(st.st_size) > kMaxReadSize) {
        refused = EFBIG;
    } else {
        out.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buf[65536];
    while (!refused) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            refused = errno;
            break;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxReadSize) refused = EFBIG;  // it grew while read
    }
    ::close(fd);
    if (refused) {
        out.clear();
        errno = refused;
        return ReadResult::Failed;
    }
    return ReadResult::Ok;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

namespace {

void (*beforeRename)() = nullptr;

// A temporary file's name: "." + the file's name + "." + six letters or digits.
constexpr std::size_t kTempSuffix = 6;

// Creates a new temporary file next to the file. The kernel applies the
// umask to 0666, as for any new file, without touching the process's umask
// (other threads may be creating files meanwhile).
int CreateTemp(const std::string& dir, const std::string& base, std::string& name) {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char r[kTempSuffix];
        if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) return -1;
        std::string suffix;
        for (unsigned char c : r) suffix += kChars[c % (sizeof kChars - 1)];
        name = (dir == "/" ? "" : dir) + "/." + base + "." + suffix;
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

bool IsTempFileOf(std::string_view entry, std::string_view base) {
    if (entry.size() != base.size() + 2 + kTempSuffix || entry[0] != '.' ||
        entry.substr(1, base.size()) != base || entry[base.size() + 1] != '.')
        return false;
    for (char c : entry.substr(base.size() + 2))
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

void SetBeforeRenameForTesting(void (*hook)()) { beforeRename = hook; }

bool ReplaceFile(const std::string& path, const std::string& data, std::optional<mode_t> mode) {
    auto slash = path.rfind('/');
    std::string dir = FolderOf(path);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string name;
    int fd = CreateTemp(dir, base, name);
    if (fd < 0) return false;
    bool ok = (!mode || ::fchmod(fd, *mode) == 0) && WriteFully(fd, data) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && beforeRename) beforeRename();
    if (ok) ok = ::rename(name.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(name.c_str());
        return false;
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        // The new file is in place; a failed folder sync only weakens its
        // durability across a crash, so the write still counts as stored.
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
