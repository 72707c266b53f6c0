// SPDX-License-Identifier: MIT
#include "platform/objects/registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files/fileio.h"
#include "platform/objects/objects.h"
#include "platform/process/session.h"

namespace platform::objects {

namespace {

std::string ClassesDir() { return DataDir() + "/classes"; }

}  // namespace

namespace detail {

bool IsClassId(const std::string& s) {
    if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        char c = s[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::optional<Record> ReadRecord(const std::string& clsid) {
    std::string path = ClassesDir() + "/" + clsid;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == ELOOP)
            throw ObjectError("the registration of class " + clsid + " is a link: refused");
        throw ObjectError("cannot read the registration of class " + clsid + ": " +
                          std::strerror(errno));
    }
    struct stat st {};
    std::string text;
    bool mine = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                (st.st_mode & 022) == 0;
    if (mine && st.st_size <= 4096) {
        char buf[4097];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) text.assign(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!mine) {
        throw ObjectError("the registration of class " + clsid +
                          " is not the user's own or is writable by others: refused");
    }
    Record r;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind("executable=", 0) == 0) r.executable = line.substr(11);
        if (line.rfind("iid=", 0) == 0) r.iid = line.substr(4);
    }
    if (r.executable.empty() || r.executable.front() != '/')
        throw ObjectError("the registration of class " + clsid + " is damaged");
    return r;
}

}  // namespace detail

bool RegisterServer(const std::vector<ClassInfo>& classes, const std::string& executable) {
    if (executable.empty() || executable.front() != '/' ||
        executable.find('\n') != std::string::npos) {
        std::fprintf(stderr, "registration: the program's path must be absolute: %s\n",
                     executable.c_str());
        return false;
    }
    std::string dir;
    try {
        dir = ClassesDir();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "registration: %s\n", e.what());
        return false;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "registration: cannot create %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0) {
        std::fprintf(stderr, "registration: %s is not a private folder of this user\n",
                     dir.c_str());
        return false;
    }
    for (const auto& c : classes) {
        if (!detail::IsClassId(c.clsid) || c.iid.find('\n') != std::string::npos) {
            std::fprintf(stderr, "registration: not a class identifier: %s\n", c.clsid.c_str());
            return false;
        }
        // Replaced whole, private to the user as ReadRecord demands: a reader
        // sees the old record or the new one, never half of one.
        const std::string text = "executable=" + executable + "\niid=" + c.iid + "\n";
        if (!ReplaceFile(dir + "/" + c.clsid, text, 0600)) {
            std::fprintf(stderr, "registration: cannot store class %s: %s\n", c.clsid.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace platform::objects
