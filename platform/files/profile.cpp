// SPDX-License-Identifier: MIT
#include "platform/files/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/files/codepage.h"
#include "platform/files/fileio.h"
#include "platform/process/msgbox.h"

namespace platform::profile {
namespace {

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

// The section name of a "[name]" line (given without its line end).
std::optional<std::string_view> SectionName(std::string_view content) {
    std::string_view c = Trim(content);
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
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view c) {
    if (IsComment(c)) return std::nullopt;
    auto eq = c.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return std::make_pair(c.substr(0, eq), c.substr(eq + 1));
}

std::optional<std::string_view> SectionName(const Line& line) {
    return SectionName(line.Content());
}
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(const Line& line) {
    return KeyValue(line.Content());
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
            if (IsTempFileOf(e->d_name, base)) left.push_back(e->d_name);
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

// A file ReadAll refused (not a regular file, or beyond its size bound) is
// not ours to read or replace: the user is told once per file and fault, not
// at every one of a sweep's 255 reads.
void ReportIfRefused(const std::string& path) {
    const char* why = errno == EINVAL ? "不是普通文件" : errno == EFBIG ? "大于 16 MiB" : nullptr;
    if (!why) return;
    const char* whyInLog = errno == EINVAL ? "is not a regular file" : "is larger than 16 MiB";
    static std::mutex mutex;
    static std::set<std::string> told;
    {
        std::lock_guard lock(mutex);
        if (!told.insert(std::string(why) + '\n' + path).second) return;
    }
    ShowMessage(std::string("配置文件") + why + ", 已忽略, 文件未作改动:\n" + path,
                MsgIcon::Warning,
                "the profile file " + path + " " + whyInLog + ": ignored and left unchanged");
}

bool HasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

// ---- the parsed file, kept while it stays the same file ----
//
// A sweep reads 255 remarks, and Ps.ini grows over the years: reading and
// splitting the whole file for each key made the start of a sweep slow. The
// file is parsed once into an index that finds a key exactly as WriteString's
// scan of its lines does, and kept while the file's identity, size and change
// time stay the same.

// The form under which SameName finds two names equal: trimmed, ASCII letters
// lowered, non-ASCII names compared in UTF-8.
std::string NameKey(std::string_view name) {
    name = Trim(name);
    std::string key = IsAscii(name) ? std::string(name) : FromAnsi(name);
    for (char& c : key) c = Lower(c);
    return key;
}

struct Index {
    std::string text;  // the values point into it
    // First section of each name -> first key of each name in it -> value (trimmed).
    std::unordered_map<std::string, std::unordered_map<std::string, std::string_view>> sections;

    explicit Index(std::string fileText) : text(std::move(fileText)) {
        std::unordered_map<std::string, std::string_view>* current = nullptr;
        for (std::size_t pos = 0; pos < text.size();) {
            // The same lines, and the same reading of each, as SplitLines and Line give.
            auto nl = text.find('\n', pos);
            std::size_t end = nl == std::string::npos ? text.size() : nl;
            std::string_view c(text.data() + pos, end - pos);
            pos = nl == std::string::npos ? text.size() : nl + 1;
            if (!c.empty() && c.back() == '\r') c.remove_suffix(1);
            if (auto name = SectionName(c)) {
                // A later section of a name already seen is never looked into.
                auto [it, fresh] = sections.try_emplace(NameKey(*name));
                current = fresh ? &it->second : nullptr;
                if (current) current->reserve(text.size() / 32);
                continue;
            }
            if (!current) continue;
            if (auto kv = KeyValue(c)) current->try_emplace(NameKey(kv->first), Trim(kv->second));
        }
    }

    const std::string_view* Find(std::string_view section, std::string_view key) const {
        auto s = sections.find(NameKey(section));
        if (s == sections.end()) return nullptr;
        auto k = s->second.find(NameKey(key));
        return k == s->second.end() ? nullptr : &k->second;
    }
};

struct Identity {
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime, ctime;
    bool operator==(const Identity& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

struct Cached {
    Identity id;
    bool settled;  // changed long enough before it was read that a later change must show
    std::shared_ptr<const Index> index;
};

// File times come from a coarse clock: a change within the same tick as the
// read may keep the change time. Only a file whose last change lies this far
// before the read is trusted from its identity alone; a younger one is read again.
constexpr long long kSettleNs = 100'000'000;

long long Ns(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::mutex cacheMutex;
std::map<std::string, Cached> cache;  // by path; a handful of files at most

// The parsed file at path, or null when it cannot be read as a regular file
// (the caller then takes the plain way, with its own answer for failures).
std::shared_ptr<const Index> Parsed(const std::string& path) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    const Identity id{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    {
        std::lock_guard lock(cacheMutex);
        auto it = cache.find(path);
        if (it != cache.end() && it->second.settled && it->second.id == id) return it->second.index;
    }
    // Read after the identity was taken: a change in between shows at the next look.
    std::string text;
    if (ReadAll(path, text) != ReadResult::Ok) return nullptr;
    auto index = std::make_shared<const Index>(std::move(text));
    const bool settled =
        Ns(now) - Ns(st.st_ctim) > kSettleNs && Ns(now) - Ns(st.st_mtim) > kSettleNs;
    std::lock_guard lock(cacheMutex);
    if (cache.size() >= 8 && !cache.count(path)) cache.clear();
    cache[path] = Cached{id, settled, index};
    return index;
}

}  // namespace

std::string GetString(const std::string& section, const std::string& key, const std::string& def,
                      std::size_t bufferSize, const std::string& path) {
    auto fit = [bufferSize](std::string_view v) {
        v = v.substr(0, v.find('\0'));
        if (bufferSize == 0) return std::string();
        return std::string(v.substr(0, bufferSize - 1));
    };
    auto index = Parsed(path);
    if (!index) {
        // Read plainly, for the reason it failed (or, if it became readable
        // meanwhile, for an index of its own).
        std::string text;
        switch (ReadAll(path, text)) {
            case ReadResult::Ok:
                index = std::make_shared<const Index>(std::move(text));
                break;
            case ReadResult::Failed:
                ReportIfRefused(path);
                return fit(def);
            case ReadResult::Missing:
                return fit(def);
        }
    }
    const std::string_view* value = index->Find(section, key);
    return fit(value ? *value : def);
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
    auto slash = target.rfind('/');
    lock.RemoveLeftTemps(slash == std::string::npos ? target : target.substr(slash + 1));
    std::string text;
    std::optional<mode_t> mode;
    switch (ReadAll(target, text)) {
        case ReadResult::Failed:
            // Never replace a file we could not read: its other keys would be lost.
            ReportIfRefused(path);
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
    // A last line cut after its CR (a CR LF half written) is read without
    // the CR: only the LF completes it, or the CR would become content.
    auto terminate = [&](Line& l) {
        if (!l.Terminated()) l.raw += !l.raw.empty() && l.raw.back() == '\r' ? "\n" : eol;
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
