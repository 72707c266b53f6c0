#include "platform/profile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/fileio.h"

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

  private:
    int fd_;
};

bool HasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

}  // namespace

std::string GetString(const std::string& section, const std::string& key, const std::string& def,
                      std::size_t bufferSize, const std::string& path) {
    auto fit = [bufferSize](std::string_view v) {
        v = v.substr(0, v.find('\0'));
        if (bufferSize == 0) return std::string();
        return std::string(v.substr(0, bufferSize - 1));
    };
    std::string text;
    if (ReadAll(path, text) != ReadResult::Ok) return fit(def);
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
    std::string text;
    std::optional<mode_t> mode;
    switch (ReadAll(target, text)) {
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
