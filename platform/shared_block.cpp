#include "platform/shared_block.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "platform/session.h"

namespace platform {
namespace {

// One place that turns errno into the Windows code callers see.
std::uint32_t WinError(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
        case ELOOP:  // O_NOFOLLOW met a link: someone planted it
            return kErrorAccessDenied;
        case ENOMEM:
        case ENOSPC:
        case EFBIG:
            return kErrorNotEnoughMemory;
        case EINVAL:
            return kErrorInvalidParameter;
        case ENAMETOOLONG:
            return kErrorInvalidName;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        default:
            return kErrorGenFailure;
    }
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > 200) return false;
    for (char c : name)
        if (c == '/' || c == '\0') return false;
    return true;
}

// Whether `fd` is still the file at `path`: a lock file or block can be
// removed (by a closer or a stale sweep) between our open and our lock.
bool IsFileAt(int fd, const std::string& path) {
    struct stat a {};
    struct stat b {};
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool Flock(int fd, int op) {
    while (::flock(fd, op) != 0)
        if (errno != EINTR) return false;
    return true;
}

// Holds the per-name lock file's exclusive lock for one open or close. The
// file may be removed by whoever holds it, so a lock won on a file that is no
// longer at the path is worthless and is taken again.
class NameLock {
  public:
    explicit NameLock(const std::string& path, bool wait = true) {
        for (int attempt = 0; attempt < 16; ++attempt) {
            fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd_ < 0) {
                err_ = errno;
                return;
            }
            if (!Flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) {
                err_ = errno;
                return;
            }
            if (IsFileAt(fd_, path)) return;
            ::close(fd_);
            fd_ = -1;
        }
        err_ = EAGAIN;
    }
    ~NameLock() {
        if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    }
    int error() const { return err_; }

  private:
    int fd_ = -1;
    int err_ = 0;
};

std::string BlocksDir() {
    static const std::string dir = [] {
        std::string d = SessionDir() + "/blocks";
        ::mkdir(d.c_str(), 0700);
        return d;
    }();
    return dir;
}

std::string LockPath(std::string_view name) {
    return BlocksDir() + "/" + std::string(name) + ".lock";
}

std::string UserPrefix() { return "varnex." + std::to_string(::geteuid()) + "."; }

// Where glibc keeps a POSIX shared-memory name.
std::string ShmPath(const std::string& sysName) { return "/dev/shm" + sysName; }

// The session's tag file, locked: shared while an opener reads the tag and
// opens its block, exclusive while Morvel's start sweeps and renews it, so no
// block is opened under a tag that is being replaced.
class TagLock {
  public:
    explicit TagLock(bool exclusive) {
        std::string path;
        try {
            path = SessionDir() + "/blocks.tag";
        } catch (const std::exception&) {
            err_ = EACCES;  // the session folder is not private: nothing of ours goes there
            return;
        }
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0 || !Flock(fd_, exclusive ? LOCK_EX : LOCK_SH)) {
            err_ = errno;
            return;
        }
        tag_ = Read();
        if (tag_.empty()) {
            // First use: one writer makes the tag, under the exclusive lock.
            if (!exclusive && !Flock(fd_, LOCK_EX)) {
                err_ = errno;
                return;
            }
            tag_ = Read();
            if (tag_.empty() && !Renew()) return;
            if (!exclusive && !Flock(fd_, LOCK_SH)) err_ = errno;
        }
    }
    ~TagLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    int error() const { return err_; }
    const std::string& tag() const { return tag_; }

    // Exclusive holders only.
    bool Renew() {
        unsigned char raw[8];
        if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
            err_ = errno ? errno : EIO;
            return false;
        }
        char text[17];
        for (std::size_t i = 0; i < sizeof raw; ++i)
            std::snprintf(text + 2 * i, 3, "%02x", static_cast<unsigned>(raw[i]));
        if (::pwrite(fd_, text, 16, 0) != 16 || ::ftruncate(fd_, 16) != 0) {
            err_ = errno;
            return false;
        }
        tag_.assign(text, 16);
        return true;
    }

  private:
    // Sixteen hexadecimal digits, or "" for anything else.
    std::string Read() {
        char buf[17];
        ssize_t n = ::pread(fd_, buf, sizeof buf, 0);
        if (n != 16) return {};
        for (int i = 0; i < 16; ++i)
            if (!std::isxdigit(static_cast<unsigned char>(buf[i]))) return {};
        return std::string(buf, 16);
    }

    int fd_ = -1;
    int err_ = 0;
    std::string tag_;
};

std::string SystemNameWithTag(const std::string& tag, std::string_view name) {
    // Appended: a chain of + that starts with a literal trips GCC 12's false
    // -Wrestrict at -O3.
    std::string s = "/";
    s += UserPrefix();
    s += tag;
    s += '.';
    s += name;
    return s;
}

}  // namespace

std::string FileMapping::SystemName(std::string_view name) {
    TagLock tag(false);
    return SystemNameWithTag(tag.tag(), name);
}

FileMapping::FileMapping(int fd, std::string sysName, std::string lockPath, std::size_t size)
    : fd_(fd), sysName_(std::move(sysName)), lockPath_(std::move(lockPath)), size_(size) {}

std::unique_ptr<FileMapping> FileMapping::Create(std::string_view name, std::int64_t size,
                                                 std::uint32_t& lastError) {
    if (!ValidName(name)) {
        lastError = kErrorInvalidName;
        return nullptr;
    }
    // Like a mapping backed by the paging file: a size of 0 is an invalid
    // parameter; more than we will ever reserve is not enough memory.
    if (size <= 0) {
        lastError = kErrorInvalidParameter;
        return nullptr;
    }
    if (size > kMaxBlockSize) {
        lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    std::string lockPath;
    try {
        lockPath = LockPath(name);
    } catch (const std::exception&) {
        lastError = kErrorAccessDenied;
        return nullptr;
    }
    TagLock tag(false);
    if (tag.error()) {
        lastError = WinError(tag.error());
        return nullptr;
    }
    NameLock lock(lockPath);
    if (lock.error()) {
        lastError = WinError(lock.error());
        return nullptr;
    }
    const std::string sysName = SystemNameWithTag(tag.tag(), name);
    for (int attempt = 0; attempt < 16; ++attempt) {
        int fd = ::shm_open(sysName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            lastError = WinError(errno);
            return nullptr;
        }
        auto fail = [&](int err) {
            ::close(fd);
            lastError = WinError(err);
            return nullptr;
        };
        // The block names our session's slots: one that another user owns, or that
        // others may open, could be read or commanded by them.
        struct stat st {};
        if (::fstat(fd, &st) != 0) return fail(errno);
        if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) return fail(EACCES);

        bool alone = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (alone) {
            // Nobody holds it: either we just made it, or its last holder died without
            // closing. Either way it starts as a new block, all zero, with its space
            // reserved now so that a full /dev/shm is an error here, not a SIGBUS later.
            if (::ftruncate(fd, 0) != 0) return fail(errno);
            if (int e = ::posix_fallocate(fd, 0, size)) {
                ::shm_unlink(sysName.c_str());  // we are alone under the name lock
                return fail(e);
            }
            st.st_size = size;
        }
        if (!Flock(fd, LOCK_SH)) return fail(errno);
        if (st.st_size < size) {
            // Every opener makes sure the block is at least as long as it will map.
            if (int e = ::posix_fallocate(fd, 0, size)) return fail(e);
            st.st_size = size;
        }
        // A stale sweep (which takes no name lock) may have removed the name
        // between our open and our lock: that block is nobody's, so start over.
        if (!IsFileAt(fd, ShmPath(sysName))) {
            ::close(fd);
            continue;
        }
        lastError = alone ? 0 : kErrorAlreadyExists;
        return std::unique_ptr<FileMapping>(new FileMapping(fd, sysName, std::move(lockPath),
                                                            static_cast<std::size_t>(st.st_size)));
    }
    lastError = kErrorGenFailure;
    return nullptr;
}

int FileMapping::RemoveStaleBlocks() {
    TagLock tag(true);
    if (tag.error()) return 0;
    const std::string prefix = UserPrefix();
    const std::string current = prefix + tag.tag() + ".";
    int removed = 0;
    bool sessionLive = false;
    if (DIR* d = ::opendir("/dev/shm")) {
        while (const dirent* e = ::readdir(d)) {
            const std::string entry = e->d_name;
            if (entry.rfind(prefix, 0) != 0) continue;
            const std::string sysName = "/" + entry;
            int fd = ::shm_open(sysName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
            if (fd < 0) continue;
            struct stat st {};
            // Someone else's file under our prefix is not ours to judge (nor to remove).
            if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) {
                if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                    // No holder: every holder keeps a shared lock for as long as it lives.
                    if (IsFileAt(fd, ShmPath(sysName)) && ::shm_unlink(sysName.c_str()) == 0)
                        ++removed;
                } else if (entry.rfind(current, 0) == 0) {
                    sessionLive = true;
                }
            }
            ::close(fd);
        }
        ::closedir(d);
    }
    // Lock files of names without a block: removed under their own lock, which
    // every locker checks is still the file at the path.
    std::string dir;
    try {
        dir = BlocksDir();
    } catch (const std::exception&) {
        return removed;
    }
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string entry = e->d_name;
            const std::string ext = ".lock";
            if (entry.size() <= ext.size() ||
                entry.compare(entry.size() - ext.size(), ext.size(), ext) != 0)
                continue;
            const std::string path = dir + "/" + entry;
            NameLock lock(path, false);
            if (lock.error()) continue;
            const std::string block = "/" + current + entry.substr(0, entry.size() - ext.size());
            struct stat st {};
            if (::lstat(ShmPath(block).c_str(), &st) != 0) ::unlink(path.c_str());
        }
        ::closedir(d);
    }
    // A tag that stayed in use across runs could be claimed by another user who
    // saw it in /dev/shm; when nothing of the session lives, nothing needs it.
    if (!sessionLive) tag.Renew();
    return removed;
}

unsigned char* FileMapping::MapView(std::uint32_t& lastError) {
    if (view_) return view_;
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        lastError = WinError(errno);
        return nullptr;
    }
    view_ = static_cast<unsigned char*>(p);
    return view_;
}

void FileMapping::UnmapView() {
    if (view_) ::munmap(view_, size_);
    view_ = nullptr;
}

FileMapping::~FileMapping() {
    UnmapView();
    NameLock lock(lockPath_);
    // Still under the name lock, so no opener can slip in between the check and
    // the unlink: if we are the last holder, the name goes with us.
    if (!lock.error() && ::flock(fd_, LOCK_EX | LOCK_NB) == 0) ::shm_unlink(sysName_.c_str());
    ::close(fd_);
}

}  // namespace platform
