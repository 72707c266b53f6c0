#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/fileio.h"
#include "platform/msgbox.h"

namespace platform::profile {
namespace {

void (*gBeforeRename)() = nullptr;

// One line of the file as it was read, terminator included, so lines we do
// not change are written back byte for byte.
struct Line {
    std::string raw;
    std::string_view Content() const {
        std::string_view c(raw);
        if (!c.empty() && c.back() == '\n') c.remove_suffix(1);
        if (!c.empty() && c.back() == '\r') c.remove_suffix(1);
        return c;
    }
    bool Terminated() const { return !raw.empty() && raw.back() == '\n'; }
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool IsAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// Names compare without regard to case. In a double-byte code page a trail
// byte may look like an ASCII letter, so non-ASCII names are compared in
// UTF-8, where every byte of a multi-byte character is above 0x7F.
bool SameName(std::string_view a, std::string_view b) {
    a = Trim(a);
    b = Trim(b);
    if (IsAscii(a) && IsAscii(b)) return EqualAsciiNoCase(a, b);
    return EqualAsciiNoCase(FromAnsi(a), FromAnsi(b));
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(const Line& line) {
    std::string_view c = Trim(line.Content());
    if (c.empty() || c.front() != '[') return std::nullopt;
    c.remove_prefix(1);
    auto end = c.find(']');
    return c.substr(0, end);
}

bool IsComment(std::string_view c) {
    c = Trim(c);
    return !c.empty() && (c.front() == ';' || c.front() == '#');
}

// Key and value of a "key=value" line (value untrimmed).
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(const Line& line) {
    std::string_view c = line.Content();
    if (IsComment(c)) return std::nullopt;
    auto eq = c.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return std::make_pair(c.substr(0, eq), c.substr(eq + 1));
}

// Far beyond any settings or remarks file: what is larger is not one of ours,
// and reading it (a link to /dev/zero) would only exhaust memory.
constexpr std::size_t kMaxFileSize = 16u << 20;

// Tells the user once per file and fault, not at every one of a sweep's reads.
void ReportRefused(const std::string& path, const char* why) {
    static std::mutex mutex;
    static std::set<std::string> told;
    {
        std::lock_guard lock(mutex);
        if (!told.insert(std::string(why) + '\n' + path).second) return;
    }
    ShowMessage(std::string("配置文件") + why + ", 已忽略, 文件未作改动:\n" + path,
                MsgIcon::Warning);
}

enum class ReadResult { Ok, Missing, Failed };

// `shown` names the file in a message: the path the caller gave, not the
// target of its link.
ReadResult ReadAll(const std::string& path, std::string& out, const std::string& shown) {
    out.clear();
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {};
    const char* refused = nullptr;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return ReadResult::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        refused = "不是普通文件";
    } else if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
        refused = "大于 16 MiB";
    }
    char buf[65536];
    while (!refused) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxFileSize) refused = "大于 16 MiB";  // it grew while read
    }
    ::close(fd);
    if (refused) {
        out.clear();
        ReportRefused(shown, refused);
        return ReadResult::Failed;
    }
    return ReadResult::Ok;
}

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto nl = text.find('\n', pos);
        std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(Line{text.substr(pos, end - pos)});
        pos = end;
    }
    return lines;
}

// [first, last) line indices of the first section named `section`, header
// excluded; nullopt when there is none.
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const std::vector<Line>& lines,
                                                               std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionName(lines[i]);
        if (!name || !SameName(*name, section)) continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !SectionName(lines[end])) ++end;
        return std::make_pair(i + 1, end);
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<Line>& lines, std::size_t first,
                                   std::size_t last, std::string_view key) {
    for (std::size_t i = first; i < last; ++i) {
        auto kv = KeyValue(lines[i]);
        if (kv && SameName(kv->first, key)) return i;
    }
    return std::nullopt;
}

std::string FolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string BaseOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A temporary file's name: "." + the file's name + "." + six letters or digits.
constexpr std::size_t kTempSuffix = 6;

bool IsTempOf(std::string_view entry, const std::string& base) {
    if (entry.size() != base.size() + 2 + kTempSuffix || entry[0] != '.' ||
        entry.substr(1, base.size()) != base || entry[base.size() + 1] != '.')
        return false;
    for (char c : entry.substr(base.size() + 2))
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

// Creates a new temporary file next to the file. The kernel applies the
// umask to 0666, as for any new file, without touching the process's umask
// (other threads may be creating files).
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

// Replaces the file at path with data: a temporary file in the same folder,
// flushed to disk, renamed over the old one, then the folder synced so the
// rename itself survives a crash. Any failure before the rename removes the
// temporary file and leaves the old file untouched.
bool ReplaceFile(const std::string& path, const std::string& data, std::optional<mode_t> mode) {
    std::string dir = FolderOf(path);
    std::string name;
    int fd = CreateTemp(dir, BaseOf(path), name);
    if (fd < 0) return false;
    bool ok = (!mode || ::fchmod(fd, *mode) == 0) && WriteFully(fd, data) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && gBeforeRename) gBeforeRename();
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

// Holds an exclusive lock on a folder while a file in it is read, changed and
// replaced, so two programs writing keys of one file never drop each other's
// key. Readers need no lock: they see the old file or the new one, whole.
class FolderLock {
  public:
    explicit FolderLock(const std::string& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Removes the temporary files of `base` that a writer left when it died
    // between creating one and renaming it. Only under the lock: then no
    // living writer is in the middle of a save.
    void RemoveLeftTemps(const std::string& base) {
        if (fd_ < 0) return;
        int dup = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        DIR* d = dup >= 0 ? ::fdopendir(dup) : nullptr;
        if (!d) {
            if (dup >= 0) ::close(dup);
            return;
        }
        std::vector<std::string> left;
        while (dirent* e = ::readdir(d))
            if (IsTempOf(e->d_name, base)) left.push_back(e->d_name);
        for (const auto& n : left) {
            struct stat st {};
            if (::fstatat(fd_, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                st.st_uid == ::geteuid())
                ::unlinkat(fd_, n.c_str(), 0);
        }
        ::closedir(d);
    }

  private:
    int fd_;
};

bool HasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

}  // namespace

void SetBeforeRenameForTesting(void (*hook)()) { gBeforeRename = hook; }

std::string GetString(const std::string& section, const std::string& key, const std::string& def,
                      std::size_t bufferSize, const std::string& path) {
    auto fit = [bufferSize](std::string_view v) {
        v = v.substr(0, v.find('\0'));
        if (bufferSize == 0) return std::string();
        return std::string(v.substr(0, bufferSize - 1));
    };
    std::string text;
    if (ReadAll(path, text, path) != ReadResult::Ok) return fit(def);
    auto lines = SplitLines(text);
    auto sec = FindSection(lines, section);
    if (!sec) return fit(def);
    auto at = FindKey(lines, sec->first, sec->second, key);
    if (!at) return fit(def);
    return fit(Trim(KeyValue(lines[*at])->second));
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
    using namespace std::string_view_literals;
    const auto breaks = "\r\n\0"sv;
    if (Trim(section).empty() || Trim(key).empty() || HasAny(section, breaks) ||
        HasAny(key, breaks) || HasAny(value, breaks) || section.find(']') != std::string::npos ||
        key.find('=') != std::string::npos || IsComment(key) || Trim(key).front() == '[')
        return false;

    // Write through a symbolic link to its target, so the link stays.
    std::string target = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }

    FolderLock lock(FolderOf(target));
    lock.RemoveLeftTemps(BaseOf(target));
    std::string text;
    std::optional<mode_t> mode;
    switch (ReadAll(target, text, path)) {
        case ReadResult::Failed:
            // Never replace a file we could not read: its other keys would be lost.
            return false;
        case ReadResult::Missing:
            break;
        case ReadResult::Ok: {
            struct stat st;
            if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
            break;
        }
    }

    auto lines = SplitLines(text);
    std::string eol = "\n";
    for (const auto& l : lines) {
        if (l.Terminated()) {
            eol = l.raw.size() >= 2 && l.raw[l.raw.size() - 2] == '\r' ? "\r\n" : "\n";
            break;
        }
    }
    const std::string keyLine = key + "=" + value;
    auto terminate = [&](Line& l) {
        if (!l.Terminated()) l.raw += eol;
    };

    if (auto sec = FindSection(lines, section)) {
        if (auto at = FindKey(lines, sec->first, sec->second, key)) {
            Line& l = lines[*at];
            std::string_view content = l.Content();
            l.raw = keyLine + l.raw.substr(content.size());
        } else {
            // After the section's last non-blank line, so blank lines that
            // part it from the next section stay where they are.
            std::size_t after = sec->first - 1;
            for (std::size_t i = sec->first; i < sec->second; ++i)
                if (!Trim(lines[i].Content()).empty()) after = i;
            terminate(lines[after]);
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after) + 1,
                         Line{keyLine + eol});
        }
    } else {
        if (!lines.empty()) terminate(lines.back());
        lines.push_back(Line{"[" + section + "]" + eol});
        lines.push_back(Line{keyLine + eol});
    }

    std::string out;
    out.reserve(text.size() + keyLine.size() + section.size() + 8);
    for (const auto& l : lines) out += l.raw;
    return ReplaceFile(target, out, mode);
}

}  // namespace platform::profile
