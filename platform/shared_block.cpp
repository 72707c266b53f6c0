#include "platform/shared_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

// Holds the per-name lock file's exclusive lock for one open or close.
class NameLock {
  public:
    explicit NameLock(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            err_ = errno;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                err_ = errno;
                break;
            }
        }
    }
    ~NameLock() {
        if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    }
    int error() const { return err_; }

  private:
    int fd_ = -1;
    int err_ = 0;
};

std::string LockPath(std::string_view name) {
    static const std::string dir = [] {
        std::string d = SessionDir() + "/blocks";
        ::mkdir(d.c_str(), 0700);
        return d;
    }();
    return dir + "/" + std::string(name) + ".lock";
}

}  // namespace

std::string FileMapping::SystemName(std::string_view name) {
    return "/varnex." + std::to_string(::geteuid()) + "." + SessionTag() + "." + std::string(name);
}

FileMapping::FileMapping(int fd, std::string sysName, std::string lockPath, std::size_t size)
    : fd_(fd), sysName_(std::move(sysName)), lockPath_(std::move(lockPath)), size_(size) {}

std::unique_ptr<FileMapping> FileMapping::Create(std::string_view name, std::int64_t size,
                                                 std::uint32_t& lastError) {
    if (!ValidName(name)) {
        lastError = kErrorInvalidName;
        return nullptr;
    }
    // Like a mapping backed by the paging file: a size of 0 (or one that does not
    // fit a 32-bit length) is an invalid parameter.
    if (size <= 0 || size > 0x7fffffff) {
        lastError = kErrorInvalidParameter;
        return nullptr;
    }
    std::string lockPath;
    try {
        lockPath = LockPath(name);
    } catch (const std::exception&) {
        lastError = kErrorAccessDenied;
        return nullptr;
    }
    NameLock lock(lockPath);
    if (lock.error()) {
        lastError = WinError(lock.error());
        return nullptr;
    }
    std::string sysName = SystemName(name);
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
        // closing. Either way it starts as a new block, all zero.
        if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, size) != 0) return fail(errno);
        if (::flock(fd, LOCK_SH) != 0) return fail(errno);
        st.st_size = size;
    } else {
        if (::flock(fd, LOCK_SH) != 0) return fail(errno);
        // Every opener makes sure the block is at least as long as it will map.
        if (st.st_size < size) {
            if (::ftruncate(fd, size) != 0) return fail(errno);
            st.st_size = size;
        }
    }
    lastError = alone ? 0 : kErrorAlreadyExists;
    return std::unique_ptr<FileMapping>(new FileMapping(fd, std::move(sysName), std::move(lockPath),
                                                        static_cast<std::size_t>(st.st_size)));
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
