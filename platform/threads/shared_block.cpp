// SPDX-License-Identifier: MIT
#include "platform/threads/shared_block.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/process/session.h"

namespace platform {
namespace {

constexpr const char* kShmRoot = "/dev/shm";
// A folder of ours under /dev/shm: this prefix and sixteen hexadecimal digits.
constexpr std::string_view kFolderPrefix = "varnex-";
// Where the session folder records that name.
constexpr const char* kRecordName = "/blocks.folder";
// In a blocks folder: the lock file, and each block as this prefix and its name.
constexpr const char* kLockName = ".lock";
constexpr std::string_view kBlockPrefix = "b.";

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
        case EDQUOT:
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

std::int64_t Pages(std::int64_t bytes) {
    static const std::int64_t page = ::sysconf(_SC_PAGESIZE);
    return (bytes + page - 1) / page * page;
}

bool Flock(int fd, int op) {
    while (::flock(fd, op) != 0)
        if (errno != EINTR) return false;
    return true;
}

bool OnTmpfs(const std::string& path) {
    struct statfs fs {};
    return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

// Ours alone: our user's, and nobody else may even look in.
bool Private(const struct stat& st) { return st.st_uid == ::geteuid() && (st.st_mode & 077) == 0; }

bool IsFolderLeaf(std::string_view leaf) {
    if (leaf.size() != 16) return false;
    for (char c : leaf)
        if (!std::isxdigit(static_cast<unsigned char>(c)) ||
            std::isupper(static_cast<unsigned char>(c)))
            return false;
    return true;
}

std::string RandomLeaf() {
    unsigned char raw[8] = {};
    if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) return {};
    char text[17];
    for (std::size_t i = 0; i < sizeof raw; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", static_cast<unsigned>(raw[i]));
    return std::string(text, 16);
}

// A session's blocks folder as this process uses it.
struct Folder {
    ~Folder() {
        if (lockFd >= 0) ::close(lockFd);
        if (dirFd >= 0) ::close(dirFd);
    }
    std::string session;  // the session folder it belongs to
    pid_t pid = 0;        // the process that opened it: a forked child opens its own
    std::string path;
    int dirFd = -1;
    // Shared flock for this process's life: a folder whose lock nobody holds is
    // no session's any more. Byte 0 is the turn that opens and closes take.
    int lockFd = -1;
};

// Opens `path` (made first when `make`) and takes its lock; 0 or an errno.
// ESTALE: the folder was removed meanwhile, as a folder nobody used.
int OpenFolder(Folder& f, bool make) {
    if (make && ::mkdir(f.path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    f.dirFd = ::open(f.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (f.dirFd < 0) return errno == ENOENT ? ESTALE : errno;
    struct stat st {};
    if (::fstat(f.dirFd, &st) != 0) return errno;
    if (!Private(st)) return EACCES;
    f.lockFd = ::openat(f.dirFd, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (f.lockFd < 0) return errno == ENOENT ? ESTALE : errno;
    if (!Flock(f.lockFd, LOCK_SH)) return errno;
    // A sweep that took the lock first has removed the file (and the folder).
    struct stat held {};
    struct stat now {};
    if (::fstat(f.lockFd, &held) != 0 ||
        ::fstatat(f.dirFd, kLockName, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        held.st_ino != now.st_ino || held.st_dev != now.st_dev)
        return ESTALE;
    if (!Private(held)) return EACCES;
    return 0;
}

// The folder under /dev/shm that the session folder records, or a new one.
int OpenRecordedFolder(Folder& f) {
    const std::string record = f.session + kRecordName;
    int fd = ::open(record.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    struct RecordFd {
        ~RecordFd() { ::close(fd); }  // drops the lock
        int fd;
    } held{fd};
    // One process of the session at a time decides which folder it is.
    if (!Flock(fd, LOCK_EX)) return errno;
    char buf[32];
    ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    std::string leaf = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    auto reset = [&f] {
        if (f.lockFd >= 0) ::close(f.lockFd);
        if (f.dirFd >= 0) ::close(f.dirFd);
        f.lockFd = f.dirFd = -1;
    };
    if (IsFolderLeaf(leaf)) {
        f.path = std::string(kShmRoot) + "/" + std::string(kFolderPrefix) + leaf;
        int err = OpenFolder(f, false);
        if (err == 0 || err == EMFILE || err == ENFILE) return err;
        reset();
    }
    // None yet; gone with a reboot or a sweep; or, after a reboot, its name
    // (which anyone could read in /dev/shm) taken by another user: a new one,
    // with another name if someone made that one first.
    for (int attempt = 0; attempt < 8; ++attempt) {
        leaf = RandomLeaf();
        if (leaf.empty()) return EIO;
        f.path = std::string(kShmRoot) + "/" + std::string(kFolderPrefix) + leaf;
        if (::mkdir(f.path.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        if (int err = OpenFolder(f, false)) {
            reset();
            if (err == ESTALE) continue;  // swept while still empty
            return err;
        }
        if (::pwrite(fd, leaf.data(), leaf.size(), 0) != static_cast<ssize_t>(leaf.size()) ||
            ::ftruncate(fd, static_cast<off_t>(leaf.size())) != 0)
            return errno;
        return 0;
    }
    return EEXIST;
}

// One holder per name and process; the handles share it.
struct BlockState {
    std::shared_ptr<Folder> folder;
    std::string file;  // in the folder: kBlockPrefix and the name
    std::string key;   // in the table
    int fd = -1;       // holds the shared flock
    int holders = 0;
};

}  // namespace

struct FileMapping::Block : BlockState {};

namespace {

std::mutex blocksMutex;  // guards everything below and every BlockShare's use
std::shared_ptr<Folder> sessionFolder;
std::map<std::string, std::shared_ptr<FileMapping::Block>> openBlocks;
thread_local std::shared_ptr<BlockShare> threadShare;

// Under blocksMutex: the session's folder, found on first use.
std::shared_ptr<Folder> Attach(int& err) {
    std::string session;
    try {
        session = SessionDir();
    } catch (const std::exception&) {
        err = EACCES;  // the session folder is not private: nothing of ours goes there
        return nullptr;
    }
    if (sessionFolder && sessionFolder->session == session && sessionFolder->pid == ::getpid())
        return sessionFolder;
    if (sessionFolder && sessionFolder->pid != ::getpid()) {
        // A forked child shares its parent's open file descriptions, and with
        // them their locks: it takes turns and holds blocks on descriptors of
        // its own. (The parent's handles it inherited stay as they are.)
        openBlocks.clear();
    }
    auto f = std::make_shared<Folder>();
    f->session = session;
    f->pid = ::getpid();
    // A session folder on tmpfs holds the blocks itself; /dev/shm is the other
    // tmpfs every Linux has. Without either, blocks live on disk but work.
    if (OnTmpfs(session) || !OnTmpfs(kShmRoot)) {
        f->path = session + "/blocks";
        err = OpenFolder(*f, true);
    } else {
        err = OpenRecordedFolder(*f);
    }
    if (err) return nullptr;
    sessionFolder = f;
    return f;
}

// The session-wide turn for an open or a close, taken under blocksMutex (an
// open file description lock does not exclude this process's own threads).
class Turn {
  public:
    explicit Turn(const Folder& f) : fd_(f.lockFd) {
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_len = 1;
        while (::fcntl(fd_, F_OFD_SETLKW, &l) != 0) {
            if (errno != EINTR) {
                err_ = errno;
                return;
            }
        }
    }
    ~Turn() {
        if (err_) return;
        struct flock l {};
        l.l_type = F_UNLCK;
        l.l_whence = SEEK_SET;
        l.l_len = 1;
        ::fcntl(fd_, F_OFD_SETLK, &l);
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    int error() const { return err_; }

  private:
    int fd_;
    int err_ = 0;
};

bool IsBlockFile(const char* leaf) {
    return std::string_view(leaf).substr(0, kBlockPrefix.size()) == kBlockPrefix;
}

// Under the turn: makes sure the block is at least `size` bytes long, its
// space reserved, and the session's blocks within their budget. 0 or an errno.
int Reserve(const BlockState& b, std::int64_t size, std::int64_t has) {
    if (has >= size) return 0;
    int fd = ::openat(b.folder->dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        return err;
    }
    std::int64_t total = Pages(size);
    while (const dirent* e = ::readdir(d)) {
        if (!IsBlockFile(e->d_name) || b.file == e->d_name) continue;
        struct stat st {};
        if (::fstatat(b.folder->dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            total += Pages(st.st_size);
    }
    ::closedir(d);
    if (total > kSessionBlockBudget) return ENOSPC;
    return ::posix_fallocate(b.fd, 0, size);
}

// Under the turn: the first holder in this process. `fresh` when no other
// process holds the block, which then starts all zero.
int OpenBlock(BlockState& b, std::int64_t size, bool& fresh) {
    b.fd =
        ::openat(b.folder->dirFd, b.file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (b.fd < 0) return errno;
    struct stat st {};
    if (::fstat(b.fd, &st) != 0) return errno;
    // Only root could have put it there, but it would name our slots.
    if (!S_ISREG(st.st_mode) || !Private(st)) return EACCES;
    fresh = ::flock(b.fd, LOCK_EX | LOCK_NB) == 0;
    if (fresh) {
        // Just made, or left by a holder that died: either way a new block.
        if (::ftruncate(b.fd, 0) != 0) return errno;
        st.st_size = 0;
    }
    if (int err = Reserve(b, size, st.st_size)) {
        if (fresh) ::unlinkat(b.folder->dirFd, b.file.c_str(), 0);  // alone, under the turn
        return err;
    }
    return Flock(b.fd, LOCK_SH) ? 0 : errno;
}

std::int64_t FileSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Under the turn: removes the blocks of `dirFd` that no process holds (every
// one when `all`); how many.
int SweepBlocks(int dirFd, bool all) {
    int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0) ::close(fd);
        return 0;
    }
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        if (!IsBlockFile(e->d_name)) continue;
        int b = ::openat(dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (b < 0) continue;
        // Every holder keeps a shared flock for as long as it lives.
        if ((all || ::flock(b, LOCK_EX | LOCK_NB) == 0) && ::unlinkat(dirFd, e->d_name, 0) == 0)
            ++removed;
        ::close(b);
    }
    ::closedir(d);
    return removed;
}

// Folders of this user's sessions under /dev/shm that no process uses, and
// blocks of the names used before folders (/dev/shm/varnex.<uid>.*) that
// nobody holds. How many blocks it removed.
int SweepShm(const std::string& own) {
    DIR* d = ::opendir(kShmRoot);
    if (!d) return 0;
    const std::string legacy = "varnex." + std::to_string(::geteuid()) + ".";
    int removed = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        const std::string path = std::string(kShmRoot) + "/" + entry;
        if (entry.rfind(legacy, 0) == 0) {
            int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat st {};
            if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
                ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0)
                ++removed;
            if (fd >= 0) ::close(fd);
            continue;
        }
        if (entry.rfind(kFolderPrefix, 0) != 0 ||
            !IsFolderLeaf(std::string_view(entry).substr(kFolderPrefix.size())) || path == own)
            continue;
        Folder f;  // closes what it opened
        f.dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (f.dirFd < 0 || ::fstat(f.dirFd, &st) != 0 || st.st_uid != ::geteuid()) continue;
        f.lockFd = ::openat(f.dirFd, kLockName, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (f.lockFd < 0) {
            // Left empty by a process that died making it, or being made right
            // now: that maker finds it gone and makes another.
            ::rmdir(path.c_str());
            continue;
        }
        if (::flock(f.lockFd, LOCK_EX | LOCK_NB) != 0) continue;
        // Nobody uses it, and nobody can start to while we hold the lock: an
        // opener that was waiting finds its lock file gone and makes a new folder.
        removed += SweepBlocks(f.dirFd, true);
        ::unlinkat(f.dirFd, kLockName, 0);
        ::rmdir(path.c_str());
    }
    ::closedir(d);
    return removed;
}

}  // namespace

void SetThreadBlockShare(std::shared_ptr<BlockShare> share) { threadShare = std::move(share); }

FileMapping::FileMapping(std::shared_ptr<Block> block, std::shared_ptr<BlockShare> share,
                         std::int64_t charge, std::size_t size)
    : block_(std::move(block)), share_(std::move(share)), charge_(charge), size_(size) {}

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
    std::lock_guard lock(blocksMutex);
    const std::int64_t charge = Pages(size);
    std::shared_ptr<BlockShare> share = threadShare;
    if (share && share->used_ + charge > share->limit_) {
        lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    int err = 0;
    auto folder = Attach(err);
    if (!folder) {
        lastError = WinError(err);
        return nullptr;
    }
    Turn turn(*folder);
    if (turn.error()) {
        lastError = WinError(turn.error());
        return nullptr;
    }
    std::string file(kBlockPrefix);
    file += name;
    const std::string key = folder->path + "/" + file;
    std::shared_ptr<Block> block;
    bool fresh = false;
    if (auto it = openBlocks.find(key); it != openBlocks.end()) {
        block = it->second;
        err = Reserve(*block, size, FileSize(block->fd));
    } else {
        block = std::make_shared<Block>();
        block->folder = folder;
        block->file = file;
        block->key = key;
        err = OpenBlock(*block, size, fresh);
        if (err) {
            if (block->fd >= 0) ::close(block->fd);
        } else {
            openBlocks[key] = block;
        }
    }
    if (err) {
        lastError = WinError(err);
        return nullptr;
    }
    ++block->holders;
    if (share) share->used_ += charge;
    lastError = fresh ? kNoError : kErrorAlreadyExists;
    const auto bytes = static_cast<std::size_t>(FileSize(block->fd));
    return std::unique_ptr<FileMapping>(
        new FileMapping(std::move(block), std::move(share), charge, bytes));
}

FileMapping::~FileMapping() {
    UnmapView();
    std::lock_guard lock(blocksMutex);
    if (share_) share_->used_ -= charge_;
    if (--block_->holders > 0) return;
    openBlocks.erase(block_->key);
    {
        Turn turn(*block_->folder);
        // Under the turn, so no opener slips in between the check and the
        // removal: when no other process holds the block, it goes with us.
        if (!turn.error() && ::flock(block_->fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(block_->folder->dirFd, block_->file.c_str(), 0);
        ::close(block_->fd);
    }
    block_->fd = -1;
}

std::string FileMapping::Path(std::string_view name) {
    std::lock_guard lock(blocksMutex);
    int err = 0;
    auto folder = Attach(err);
    if (!folder) return {};
    std::string path = folder->path + "/";
    path += kBlockPrefix;
    path += name;
    return path;
}

std::string FileMapping::ErrorText(std::uint32_t code, std::string_view name) {
    switch (code) {
        case kErrorNotEnoughMemory: {
            std::string folder = Path(name);
            folder = folder.empty() ? kShmRoot : folder.substr(0, folder.rfind('/'));
            return "out of shared memory: " + folder +
                   " is full, or the session's blocks would pass their " +
                   std::to_string(kSessionBlockBudget >> 20) +
                   " MiB (free space there, or end other sweeps and windows)";
        }
        case kErrorTooManyOpenFiles:
            return "out of file descriptors (raise the limit on open files: ulimit -n, or "
                   "LimitNOFILE for a service)";
        case kErrorAccessDenied: {
            const std::string path = Path(name);
            if (path.empty()) return "access denied: the session folder is not this user's alone";
            return "access denied: " + path +
                   " belongs to another user or is open to others (remove it)";
        }
        case kErrorInvalidName:
            return "the name is not valid (1 to 200 characters, no slash)";
        case kErrorInvalidParameter:
            return "the size must be at least 1 byte";
        default:
            return "error " + std::to_string(code);
    }
}

int FileMapping::RemoveStaleBlocks() {
    std::lock_guard lock(blocksMutex);
    int err = 0;
    auto folder = Attach(err);
    int removed = 0;
    if (folder) {
        Turn turn(*folder);
        if (!turn.error()) removed += SweepBlocks(folder->dirFd, false);
    }
    return removed + SweepShm(folder ? folder->path : std::string());
}

unsigned char* FileMapping::MapView(std::uint32_t& lastError) {
    if (view_) return view_;
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, block_->fd, 0);
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

}  // namespace platform
