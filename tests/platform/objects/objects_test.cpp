// SPDX-License-Identifier: MIT
#include "platform/objects/objects.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/objects/frames.h"
#include "platform/process/session.h"
#include "tests/platform/objects/objects_test_classes.h"
#include "tests/support/children.h"
#include "tests/support/isolation.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::objects::Arg;
using platform::objects::CreateObject;
using platform::objects::ObjectError;
using platform::objects::Ref;
namespace tc = testclasses;

std::string ServerBin() { return testsupport::BuildBinDir() + "/objects_test_server"; }

// Starts the test server program; its standard output goes to *out when asked.
pid_t Spawn(const std::vector<std::string>& args, int* out = nullptr) {
    testsupport::SpawnOptions options;
    options.pipeOut = out != nullptr;
    testsupport::Child child = testsupport::Spawn(ServerBin(), args, options);
    if (out) *out = child.out;
    return child.pid;
}

int WaitExit(pid_t pid) { return testsupport::Wait(pid).value_or(-1); }

std::string ReadLine(int fd, std::chrono::milliseconds limit = 15s) {
    std::string line;
    auto end = std::chrono::steady_clock::now() + limit;
    char c;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (::read(fd, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

// Gone, or a zombie that nobody reaped yet.
bool Gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    if (!std::getline(stat, s)) return true;
    auto close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'Z';
}

// Servers of this test process's session that still run (other test processes
// have sessions of their own).
std::set<pid_t> ServersOfThisSession() {
    std::set<pid_t> found;
    std::string mine = "XDG_RUNTIME_DIR="s + std::getenv("XDG_RUNTIME_DIR");
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        pid_t pid = std::stoi(name);
        std::ifstream cmd(e.path() / "cmdline");
        std::string all((std::istreambuf_iterator<char>(cmd)), {});
        if (all.find("objects_test_server\0-Embedding"s) == std::string::npos) continue;
        std::ifstream env(e.path() / "environ");
        std::string vars((std::istreambuf_iterator<char>(env)), {});
        if ((vars + '\0').find(mine + '\0') == std::string::npos || Gone(pid)) continue;
        found.insert(pid);
    }
    return found;
}

void Register() { ASSERT_EQ(WaitExit(Spawn({"/regsver"})), 0); }

std::unique_ptr<Ref> Probe() { return CreateObject(tc::kProbeClsid, tc::kProbeIid); }

std::int32_t Int(const Arg& a) { return std::get<std::int32_t>(a); }

Arg Echo(Ref& r, Arg a) {
    std::vector<Arg> args{std::move(a)};
    return r.Call(tc::kEcho, args);
}

void ExpectServerEnds(pid_t server) {
    EXPECT_TRUE(testsupport::WaitFor([&] { return Gone(server); }, 15s))
        << "the server " << server << " is still running";
}

// The message of the ObjectError that fn throws.
std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ObjectError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return "not an ObjectError: "s + e.what();
    }
    return "no error";
}

int RawConnect() {
    std::string path = platform::SessionDir() + "/objects.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until the server closes the connection; false if it is still open after `limit`.
bool ClosedByServer(int fd, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

// Waits, without reading, until the server has closed its end: a peer that
// "reads nothing" must not drain the replies the server is bounding.
bool ClosedWithoutReading(int fd, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 50) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR))) return true;
    }
    return false;
}

void SendBytes(int fd, const std::string& s) {
    ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

// Reads `count` replies from a raw connection (fewer when it closes or stalls).
std::vector<platform::frames::Reply> ReadReplies(int fd, std::size_t count) {
    std::vector<platform::frames::Reply> out;
    platform::frames::FrameReader reader;
    char buf[65536];
    while (out.size() < count) {
        std::string body;
        auto next = reader.Pop(body);
        if (next == platform::frames::FrameReader::Next::Frame) {
            platform::frames::Reply rep;
            std::string why;
            if (!platform::frames::DecodeReply(body, rep, why)) break;
            out.push_back(std::move(rep));
            continue;
        }
        if (next == platform::frames::FrameReader::Next::Bad) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reader.Feed(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string CreateFrames(std::uint32_t firstId, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        platform::frames::Request r;
        r.kind = platform::frames::Kind::Create;
        r.requestId = firstId + static_cast<std::uint32_t>(i);
        r.clsid = tc::kProbeClsid;
        r.iid = tc::kProbeIid;
        bytes += platform::frames::EncodeRequest(r);
    }
    return bytes;
}

// `count` calls of `member` with `arg` on the object that a Create reply names.
std::string CallFrames(const platform::frames::Reply& created, std::uint32_t member, Arg arg,
                       std::uint32_t count) {
    std::string bytes;
    for (std::uint32_t i = 0; i < count; ++i) {
        platform::frames::Request r;
        r.kind = platform::frames::Kind::Call;
        r.requestId = i + 2;
        r.objectId = static_cast<std::uint32_t>(std::get<std::int32_t>(created.result));
        r.member = member;
        r.args = {arg};
        bytes += platform::frames::EncodeRequest(r);
    }
    return bytes;
}

long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Starts "--client 1" with some variables of the environment changed ("" unsets
// one) and returns the line it prints. The client is ended then, unless its
// pid is asked for.
std::string ClientWith(const std::vector<std::pair<std::string, std::string>>& env,
                       pid_t* pid = nullptr) {
    testsupport::SpawnOptions options;
    options.pipeOut = true;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        bool changed = false;
        for (const auto& [k, v] : env) changed = changed || var.rfind(k + "=", 0) == 0;
        if (!changed) options.env.push_back(var);
    }
    for (const auto& [k, v] : env)
        if (!v.empty()) options.env.push_back(k + "=" + v);
    testsupport::Child child = testsupport::Spawn(ServerBin(), {"--client", "1"}, options);
    if (!child.ok()) return "not started";
    std::string line = ReadLine(child.out);
    ::close(child.out);
    if (pid)
        *pid = child.pid;
    else
        testsupport::End(child.pid);
    return line;
}

// Runs fn in a forked child as another user; its exit code, 77 when impossible.
int AsAnotherUser(const std::function<int()>& fn) {
    return testsupport::InChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            return 77;
        return fn();
    });
}

TEST(ObjectActivationTest, StartsTheServerFromItsRecordAndReusesIt) {
    // Registration is started without waiting, as the window program does;
    // activation waits for the record to appear.
    pid_t reg = Spawn({"/regsver"});
    auto a = Probe();
    auto b = Probe();
    EXPECT_EQ(WaitExit(reg), 0);
    pid_t server = Int(a->Call(tc::kPid));
    EXPECT_EQ(Int(b->Call(tc::kPid)), server);
    EXPECT_EQ(ServersOfThisSession(), std::set<pid_t>{server});
    EXPECT_EQ(Int(a->Call(tc::kLive)), 2);
    // One apartment per object.
    EXPECT_NE(Int(a->Call(tc::kThread)), Int(b->Call(tc::kThread)));
    EXPECT_EQ(Int(a->Call(tc::kThread)), Int(a->Call(tc::kThread)));

    // Every kind of value crosses unchanged; by-reference arguments come back.
    EXPECT_EQ(Echo(*a, Arg{}), Arg{});
    EXPECT_EQ(Echo(*a, true), Arg{true});
    EXPECT_EQ(Echo(*a, std::int32_t{-123456}), Arg{std::int32_t{-123456}});
    std::string text = "PingIP7\0\xe4\xb8\xad "s + std::string(1000, 'z');
    EXPECT_EQ(Echo(*a, text), Arg{text});
    std::vector<Arg> inout{std::int32_t{21}};
    EXPECT_EQ(a->Call(tc::kTwice, inout), Arg{true});
    EXPECT_EQ(inout, std::vector<Arg>{std::int32_t{42}});

    a.reset();
    EXPECT_TRUE(testsupport::WaitFor([&] { return Int(b->Call(tc::kLive)) == 1; }));
    b.reset();
    ExpectServerEnds(server);
}

TEST(ObjectActivationTest, FailuresArriveAsObjectErrorsWithAClearText) {
    Register();
    EXPECT_NE(
        ErrorOf([] { CreateObject("PingIP1/../x", tc::kProbeIid); }).find("not a class identifier"),
        std::string::npos);
    EXPECT_NE(ErrorOf([] {
                  CreateObject("{00000000-0000-0000-0000-0000000000AA}", "{}");
              }).find("is not registered"),
              std::string::npos);
    EXPECT_NE(ErrorOf([] { CreateObject(tc::kProbeClsid, "{wrong}"); }).find("no interface"),
              std::string::npos);
    EXPECT_NE(ErrorOf([] {
                  CreateObject(tc::kBrokenClsid, tc::kBrokenIid);
              }).find("this class cannot be made"),
              std::string::npos);

    auto a = Probe();
    pid_t server = Int(a->Call(tc::kPid));
    EXPECT_EQ(ErrorOf([&] { a->Call(tc::kFail); }), "asked to fail");
    EXPECT_NE(ErrorOf([&] { a->Call(99); }).find("no member 99"), std::string::npos);
    EXPECT_NE(ErrorOf([&] {
                  Echo(*a, std::string(platform::frames::kMaxFrameBody, 'x'));
              }).find("too large"),
              std::string::npos);
    std::vector<Arg> wrongType{"fifty"s};
    EXPECT_NE(ErrorOf([&] { a->Call(tc::kSleep, wrongType); }).find("the call failed"),
              std::string::npos);
    EXPECT_EQ(Echo(*a, std::int32_t{5}), Arg{std::int32_t{5}});  // still serving

    // A server that dies: the next call says so instead of hanging, and a new
    // activation starts a new server.
    testsupport::Signal(server, SIGKILL);
    EXPECT_NE(ErrorOf([&] { a->Call(tc::kPid); }).find("gone away"), std::string::npos);
    auto b = Probe();
    pid_t second = Int(b->Call(tc::kPid));
    EXPECT_NE(second, server);
    a.reset();
    b.reset();
    ExpectServerEnds(second);
}

TEST(ObjectActivationTest, RecordsThatOthersCouldChangeAreRefused) {
    std::string dir = platform::DataDir() + "/classes";
    std::filesystem::create_directories(dir);
    const std::string open = "{00000000-0000-0000-0000-0000000000B1}";
    const std::string link = "{00000000-0000-0000-0000-0000000000B2}";
    const std::string missing = "{00000000-0000-0000-0000-0000000000B3}";
    std::ofstream(dir + "/" + open) << "executable=/bin/true\niid={I}\n";
    ::chmod((dir + "/" + open).c_str(), 0666);
    std::filesystem::create_symlink(dir + "/" + open, dir + "/" + link);
    {
        std::ofstream f(dir + "/" + missing);
        f << "executable=/nonexistent/server\niid={I}\n";
    }
    ::chmod((dir + "/" + missing).c_str(), 0600);
    EXPECT_NE(ErrorOf([&] { CreateObject(open, "{I}"); }).find("refused"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { CreateObject(link, "{I}"); }).find("refused"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { CreateObject(missing, "{I}"); }).find("cannot start"),
              std::string::npos);

    // Registration writes records that pass: private, whole.
    EXPECT_FALSE(platform::objects::RegisterServer({{"{bad}", "{I}", nullptr}}, "/bin/true"));
    EXPECT_FALSE(platform::objects::RegisterServer({{open, "{I}", nullptr}}, "relative/path"));
    ASSERT_TRUE(platform::objects::RegisterServer({{open, "{I}", nullptr}}, "/bin/true"));
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/" + open).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_NE(e.path().filename().string().front(), '.') << "left behind: " << e.path();
}

TEST(ObjectActivationTest, TwentyClientsStartedAtOnceGetOneServer) {
    Register();
    std::vector<pid_t> clients;
    std::vector<int> outs;
    for (int i = 0; i < 20; ++i) {
        int out = -1;
        clients.push_back(Spawn({"--client", "1"}, &out));
        outs.push_back(out);
    }
    std::set<std::string> answers;
    for (int fd : outs) {
        answers.insert(ReadLine(fd));
        ::close(fd);
    }
    ASSERT_EQ(answers.size(), 1u) << *answers.begin() << " / " << *answers.rbegin();
    ASSERT_EQ(answers.begin()->rfind("ready ", 0), 0u) << *answers.begin();
    pid_t server = std::stoi(answers.begin()->substr(6));
    // The servers that lost the race leave on their own.
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return ServersOfThisSession() == std::set<pid_t>{server}; }, 10s));

    // One started by hand while it runs leaves at once, and quietly.
    EXPECT_EQ(WaitExit(Spawn({"-Embedding"})), 0);
    EXPECT_EQ(ServersOfThisSession(), std::set<pid_t>{server});

    // Killed clients release everything: the server ends.
    for (pid_t c : clients) testsupport::End(c);
    ExpectServerEnds(server);
}

TEST(ObjectLifetimeTest, AKilledClientsObjectsAreReleased) {
    Register();
    auto mine = Probe();
    pid_t server = Int(mine->Call(tc::kPid));
    int out = -1;
    pid_t client = Spawn({"--client", "3"}, &out);
    EXPECT_EQ(ReadLine(out), "ready " + std::to_string(server));
    ::close(out);
    EXPECT_EQ(Int(mine->Call(tc::kLive)), 4);
    testsupport::End(client);
    EXPECT_TRUE(testsupport::WaitFor([&] { return Int(mine->Call(tc::kLive)) == 1; }));
    mine.reset();
    ExpectServerEnds(server);
}

TEST(ObjectLifetimeTest, AClientRacingTheServersExitGetsAWorkingObject) {
    Register();
    for (int i = 0; i < 15; ++i) {
        // Releasing the last object ends the server; the next activation meets
        // it on its way out and must still end with a working object.
        auto r = Probe();
        EXPECT_GT(Int(r->Call(tc::kPid)), 0);
        r.reset();
    }
    // How many cycles met a server on its way out depends on the machine's load;
    // what must hold is that every one got a working object, and that after a
    // server has gone the next activation starts a new one.
    auto last = Probe();
    pid_t server = Int(last->Call(tc::kPid));
    last.reset();
    ExpectServerEnds(server);
    auto fresh = Probe();
    EXPECT_NE(Int(fresh->Call(tc::kPid)), server);
}

TEST(ObjectLifetimeTest, AServerThatIsNeverActivatedLeavesOnItsOwn) {
    pid_t server = Spawn({"-Embedding"});
    ASSERT_TRUE(testsupport::WaitFor([&] { return ServersOfThisSession().count(server); }));
    EXPECT_TRUE(testsupport::WaitFor([&] { return Gone(server); }, 40s));
    if (!Gone(server)) testsupport::Signal(server, SIGKILL);
    WaitExit(server);
    // It took its socket with it: the next activation starts a fresh server.
    Register();
    auto r = Probe();
    pid_t next = Int(r->Call(tc::kPid));
    EXPECT_NE(next, server);
    r.reset();
    ExpectServerEnds(next);
}

TEST(ObjectCallTest, ABlockedCallDelaysNoOtherObject) {
    Register();
    auto slow = Probe();
    auto quick = Probe();
    std::atomic<bool> slowDone{false};
    std::atomic<bool> slowStarted{false};
    std::thread t([&] {
        std::vector<Arg> ms{std::int32_t{3000}};
        slowStarted = true;
        slow->Call(tc::kSleep, ms);
        slowDone = true;
    });
    ASSERT_TRUE(testsupport::WaitFor([&] { return slowStarted.load(); }));
    std::this_thread::sleep_for(50ms);
    // Calls on another object, over the same connection, from another thread.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Echo(*quick, std::int32_t{i}), Arg{std::int32_t{i}});
    EXPECT_FALSE(slowDone) << "the quick calls waited for the slow one";
    t.join();
    EXPECT_TRUE(slowDone);
    pid_t server = Int(quick->Call(tc::kPid));
    slow.reset();
    quick.reset();
    ExpectServerEnds(server);
}

TEST(ObjectServerTest, APeerOfAnotherUserIsRefused) {
    Register();
    auto keep = Probe();
    int code = testsupport::InChild([] {
        // Another user that can still reach the socket file (its file-system id
        // stays ours), so only the server's own check stands in the way.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 0) != 0)
            return 77;
        ::setfsuid(0);
        int fd = RawConnect();
        if (fd < 0) return 3;
        platform::frames::FrameReader reader;
        char buf[256];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return 4;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return 5;  // closed without saying why
            reader.Feed(buf, static_cast<std::size_t>(n));
            std::string body;
            if (reader.Pop(body) != platform::frames::FrameReader::Next::Frame) continue;
            platform::frames::Reply rep;
            std::string why;
            bool refused = platform::frames::DecodeReply(body, rep, why) && rep.requestId == 0 &&
                           rep.status == platform::frames::Status::Refused;
            return refused && ClosedByServer(fd, 5s) ? 0 : 6;
        }
    });
    if (code == 77) GTEST_SKIP() << "cannot switch to another user here";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Echo(*keep, true), Arg{true});
    pid_t server = Int(keep->Call(tc::kPid));
    keep.reset();
    ExpectServerEnds(server);
}

TEST(ObjectServerTest, BadFramesCloseOnlyTheirOwnConnection) {
    Register();
    auto keep = Probe();
    pid_t server = Int(keep->Call(tc::kPid));
    auto le32 = [](std::uint32_t v) {
        std::string s;
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
        return s;
    };

    // Oversized: refused on the length alone.
    int big = RawConnect();
    ASSERT_GE(big, 0);
    SendBytes(big, le32(0xfffffff0u) + "xxxx");
    EXPECT_TRUE(ClosedByServer(big, 5s));
    ::close(big);

    // Garbage: an unknown kind; then a frame that ends inside a field.
    for (const std::string& body : {"\x09\1\0\0\0"s, "\x02\1\0\0\0\1\0"s}) {
        int fd = RawConnect();
        ASSERT_GE(fd, 0);
        SendBytes(fd, le32(static_cast<std::uint32_t>(body.size())) + body);
        EXPECT_TRUE(ClosedByServer(fd, 5s));
        ::close(fd);
    }

    // A call on an object of another connection gets an error, not the object.
    int other = RawConnect();
    ASSERT_GE(other, 0);
    platform::frames::Request call;
    call.kind = platform::frames::Kind::Call;
    call.requestId = 7;
    call.objectId = 1;
    call.member = tc::kPid;
    SendBytes(other, platform::frames::EncodeRequest(call));
    platform::frames::FrameReader reader;
    std::string body;
    char buf[512];
    while (reader.Pop(body) != platform::frames::FrameReader::Next::Frame) {
        pollfd p{other, POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, 5000), 0);
        ssize_t n = ::recv(other, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        reader.Feed(buf, static_cast<std::size_t>(n));
    }
    platform::frames::Reply rep;
    std::string why;
    ASSERT_TRUE(platform::frames::DecodeReply(body, rep, why)) << why;
    EXPECT_EQ(rep.requestId, 7u);
    EXPECT_EQ(rep.status, platform::frames::Status::NoSuchObject);

    // Truncated: half a frame, then a byte now and then that never finishes it;
    // the server drops it after a while and serves everyone else meanwhile.
    SendBytes(other, le32(100) + "\x02\1\0"s);
    EXPECT_EQ(Echo(*keep, "still here"s), Arg{"still here"s});
    bool closed = false;
    for (int i = 0; i < 50 && !closed; ++i) {
        closed = ClosedByServer(other, 300ms) || ::send(other, "\0", 1, MSG_NOSIGNAL) != 1;
    }
    EXPECT_TRUE(closed);
    ::close(other);

    EXPECT_EQ(Int(keep->Call(tc::kPid)), server);
    keep.reset();
    ExpectServerEnds(server);
}

TEST(ObjectActivationTest, ASessionFolderOthersCouldReachIsRefusedAndNoneIsUnderTmp) {
    Register();
    // A folder of another user, with a socket and a lock file planted in it.
    std::string foreign = testsupport::MakeTempDir("foreign");
    ASSERT_EQ(::mkdir((foreign + "/varnex").c_str(), 0700), 0);
    std::ofstream(foreign + "/varnex/objects.sock") << "";
    std::ofstream(foreign + "/varnex/objects.lock") << "";
    for (const char* f : {"/varnex/objects.sock", "/varnex/objects.lock", "/varnex"})
        ASSERT_EQ(::chown((foreign + f).c_str(), 65534, 65534), 0);
    EXPECT_NE(ClientWith({{"XDG_RUNTIME_DIR", foreign}}).find("belongs to another user: refused"),
              std::string::npos);
    // Our own folder, but open to others (to its group or to the world, by
    // any of the three rights); and a link in its place.
    std::string open;
    for (mode_t mode : {0755, 0770, 0750, 0701}) {
        open = testsupport::MakeTempDir("open");
        ASSERT_EQ(::mkdir((open + "/varnex").c_str(), 0700), 0);
        ASSERT_EQ(::chmod((open + "/varnex").c_str(), mode), 0);
        EXPECT_NE(ClientWith({{"XDG_RUNTIME_DIR", open}}).find("open to other users"),
                  std::string::npos)
            << std::oct << mode;
    }
    std::string link = testsupport::MakeTempDir("link");
    std::filesystem::create_directory_symlink(open + "/varnex", link + "/varnex");
    EXPECT_NE(ClientWith({{"XDG_RUNTIME_DIR", link}}).find("is a link"), std::string::npos);

    // Without XDG_RUNTIME_DIR the session lives under $HOME: what another user
    // claimed in /tmp (where the session once lived) stops nothing. The claim is
    // made in a /tmp of a private mount namespace. This test's folder and the
    // built programs may live under /tmp themselves: they are mounted back in.
    int rc = testsupport::InChild([] {
        const std::vector<std::string> keep{testsupport::TestRoot(), testsupport::BuildBinDir()};
        const std::string home = testsupport::MakeTempDir("home");
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 77;
        // Held in the new namespace, whose mounts alone can be bound back.
        std::vector<int> held;
        for (const std::string& dir : keep)
            held.push_back(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (::mount("varnex-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0) return 77;
        for (std::size_t i = 0; i < keep.size(); ++i) {
            std::error_code ec;
            std::filesystem::create_directories(keep[i], ec);
            const std::string from = "/proc/self/fd/" + std::to_string(held[i]);
            if (held[i] < 0 ||
                ::mount(from.c_str(), keep[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                return 77;
        }
        const std::string squat = "/tmp/varnex-" + std::to_string(::geteuid());
        int claimed = AsAnotherUser([&] {
            if (::mkdir(squat.c_str(), 0777) != 0) return 1;
            std::ofstream(squat + "/objects.sock") << "";
            return 0;
        });
        if (claimed != 0) return claimed == 77 ? 77 : 1;
        pid_t client = -1;
        std::string line = ClientWith({{"XDG_RUNTIME_DIR", ""}, {"HOME", home}}, &client);
        // While the client holds its object, the server listens under $HOME.
        bool underHome = std::filesystem::exists(home + "/.cache/varnex-session/objects.sock");
        if (client > 0) testsupport::End(client);
        if (line.rfind("ready ", 0) != 0) {
            std::fprintf(stderr, "%s\n", line.c_str());
            return 2;
        }
        pid_t server = std::stoi(line.substr(6));
        bool ended = testsupport::WaitFor([&] { return Gone(server); }, 15s);
        return underHome && ended ? 0 : 3;
    });
    if (rc == 77) GTEST_SKIP() << "cannot act as another user or mount a private /tmp here";
    EXPECT_EQ(rc, 0);
}

TEST(ObjectServerTest, FloodingPeersAreBoundedAndOthersAreServedMeanwhile) {
    namespace fr = platform::frames;
    Register();
    auto keep = Probe();
    pid_t server = Int(keep->Call(tc::kPid));

    // Objects until refused, over several connections.
    std::vector<int> conns;
    std::size_t made = 0, refused = 0;
    for (int c = 0; c < 3; ++c) {
        int fd = RawConnect();
        ASSERT_GE(fd, 0);
        conns.push_back(fd);
        SendBytes(fd, CreateFrames(1, 1000));
        for (const auto& rep : ReadReplies(fd, 1000)) {
            if (rep.status == fr::Status::Ok) ++made;
            if (rep.status == fr::Status::TooManyObjects) ++refused;
        }
    }
    EXPECT_EQ(made + 1, 2048u);
    EXPECT_EQ(made + refused, 3000u);
    EXPECT_EQ(Echo(*keep, true), Arg{true});
    EXPECT_NE(ErrorOf([] { Probe(); }).find("too many objects"), std::string::npos);
    for (int fd : conns) ::close(fd);
    EXPECT_TRUE(testsupport::WaitFor([&] { return Int(keep->Call(tc::kLive)) == 1; }, 30s));

    // A peer that sends 50 000 calls and reads nothing.
    int flood = RawConnect();
    ASSERT_GE(flood, 0);
    SendBytes(flood, CreateFrames(1, 1));
    auto created = ReadReplies(flood, 1);
    ASSERT_EQ(created.size(), 1u);
    const std::string calls = CallFrames(created[0], tc::kEcho, std::string(100, 'x'), 50000);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        for (std::size_t done = 0; done < calls.size();) {
            ssize_t n = ::send(flood, calls.data() + done, calls.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;  // closed by the server
            done += static_cast<std::size_t>(n);
        }
        sent = true;
    });
    auto slowest = 0ms;
    for (int i = 0; i < 40 && !(sent && i > 10); ++i) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Echo(*keep, std::int32_t{i}), Arg{std::int32_t{i}});
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(slowest, 1000ms);
    EXPECT_TRUE(ClosedWithoutReading(flood, 15s));
    sender.join();
    ::close(flood);

    // A peer with few calls out whose large replies are never read.
    int deaf = RawConnect();
    ASSERT_GE(deaf, 0);
    SendBytes(deaf, CreateFrames(1, 1));
    ASSERT_EQ(ReadReplies(deaf, 1).size(), 1u);
    for (std::uint32_t i = 0; i < 80; ++i) {
        fr::Request r;
        r.kind = fr::Kind::Call;
        r.requestId = i + 2;
        r.objectId = 1;
        r.member = tc::kEcho;
        r.args = {std::string(30000, 'y')};
        std::string frame = fr::EncodeRequest(r);
        if (::send(deaf, frame.data(), frame.size(), MSG_NOSIGNAL) <= 0) break;
    }
    EXPECT_TRUE(ClosedWithoutReading(deaf, 15s));
    ::close(deaf);

    // Peak resident memory, threads of all those objects included (under
    // AddressSanitizer its own shadow and quarantine would dominate).
    long peak = PeakKiB(server);
    EXPECT_GT(peak, 0);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(peak, 256 * 1024) << "KiB";
#endif
    EXPECT_EQ(Int(keep->Call(tc::kPid)), server);
    keep.reset();
    ExpectServerEnds(server);
}

// ---- what bounds the client and the server keep (a group of its own) ----

TEST(ObjectBoundsTest, AServerOfAnotherUserGetsNoByteAndIsRefused) {
    Register();
    const std::string path = platform::SessionDir() + "/objects.sock";
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    // A server as another user that can still bind in our folder (its
    // file-system id stays ours): only the client's own check stands in the way.
    pid_t fake = testsupport::Fork([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 0) != 0)
            return 77;
        ::setfsuid(0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 4) != 0)
            return 3;
        if (::write(ready[1], "r", 1) != 1) return 3;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 15000) <= 0) return 4;
        int conn = ::accept(fd, nullptr, nullptr);
        std::size_t got = 0;
        char buf[256];
        for (;;) {
            pollfd q{conn, POLLIN, 0};
            if (::poll(&q, 1, 15000) <= 0) return 5;
            ssize_t n = ::recv(conn, buf, sizeof buf, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        return got == 0 ? 0 : 6;
    });
    ASSERT_GT(fake, 0);
    ::close(ready[1]);
    char c = 0;
    const bool listening = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    if (!listening) {
        const int code = testsupport::Wait(fake).value_or(-1);
        if (code == 77) GTEST_SKIP() << "cannot act as another user here";
        FAIL() << "the fake server did not start: " << code;
    }
    EXPECT_NE(ErrorOf([] { Probe(); }).find("served by another user: refused"), std::string::npos);
    EXPECT_EQ(testsupport::Wait(fake, 20s), 0) << "the client sent bytes to another user's server";
}

TEST(ObjectBoundsTest, CallsQueuedBehindASleepingOneCloseOnlyTheirConnection) {
    namespace fr = platform::frames;
    Register();
    auto keep = Probe();
    pid_t server = Int(keep->Call(tc::kPid));
    int fd = RawConnect();
    ASSERT_GE(fd, 0);
    SendBytes(fd, CreateFrames(1, 1));
    auto created = ReadReplies(fd, 1);
    ASSERT_EQ(created.size(), 1u);
    const auto object = static_cast<std::uint32_t>(std::get<std::int32_t>(created[0].result));
    // One call that blocks the object, then more calls than may wait behind it.
    std::string calls;
    for (std::uint32_t i = 0; i < 1101; ++i) {
        fr::Request r;
        r.kind = fr::Kind::Call;
        r.requestId = i + 2;
        r.objectId = object;
        r.member = i == 0 ? tc::kSleep : tc::kEcho;
        r.args.emplace_back(std::int32_t{i == 0 ? 8000 : 1});
        calls += fr::EncodeRequest(r);
    }
    std::thread sender([&] {
        for (std::size_t done = 0; done < calls.size();) {
            ssize_t n = ::send(fd, calls.data() + done, calls.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    });
    // Closed while the sleep still holds every queued call, and the other
    // connection is served meanwhile.
    EXPECT_TRUE(ClosedWithoutReading(fd, 6s));
    EXPECT_EQ(Echo(*keep, std::int32_t{7}), Arg{std::int32_t{7}});
    sender.join();
    ::close(fd);
    EXPECT_EQ(Int(keep->Call(tc::kPid)), server);
    keep.reset();
    ExpectServerEnds(server);
}

TEST(ObjectBoundsTest, AStoppedServerCostsACreationASecondAndReleasesNeverWaitOnIt) {
    Register();
    std::vector<std::unique_ptr<Ref>> held;
    for (int i = 0; i < 600; ++i) held.push_back(Probe());
    const pid_t server = Int(held[0]->Call(tc::kPid));
    ASSERT_TRUE(testsupport::Signal(server, SIGSTOP));
    // Should the client wait without end after all, the server is resumed
    // after a while, so that the test fails instead of hanging.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(50ms);
        testsupport::Signal(server, SIGCONT);
    });
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    EXPECT_NE(ErrorOf([] { Probe(); }).find("did not answer within 1 s"), std::string::npos);
    const auto creating = Clock::now() - t0;
    std::vector<Arg> one{std::int32_t{1}};
    EXPECT_NE(ErrorOf([&] { held[1]->Call(tc::kEcho, one, 300ms); }).find("within 300 ms"),
              std::string::npos);
    // 600 releases are more than the socket holds while nobody reads.
    t0 = Clock::now();
    held.clear();
    const auto releasing = Clock::now() - t0;
    done = true;
    watchdog.join();
    EXPECT_LT(creating, 3s);
    EXPECT_LT(releasing, 3s);
    // The dropped connection released every object: resumed, the server ends.
    ExpectServerEnds(server);
}

}  // namespace

// ---- what one client may take from the others (its objects and blocks: the
// window's proxy tests) ----

TEST(ObjectLimitsTest, AClosedConnectionsQueuedCallsAreDroppedAndTheRunningOneEnds) {
    Register();
    auto keep = Probe();
    pid_t server = Int(keep->Call(tc::kPid));
    int fd = RawConnect();
    ASSERT_GE(fd, 0);
    SendBytes(fd, CreateFrames(1, 1));
    auto created = ReadReplies(fd, 1);
    ASSERT_EQ(created.size(), 1u);
    SendBytes(fd, CallFrames(created[0], tc::kSleep, std::int32_t{1000}, 1000));
    std::this_thread::sleep_for(300ms);
    ::close(fd);
    // One call was running when the client left; the other 999 would hold the
    // object (and the server) for 999 s more.
    EXPECT_TRUE(testsupport::WaitFor([&] { return Int(keep->Call(tc::kLive)) == 1; }, 15s));
    keep.reset();
    ExpectServerEnds(server);
}
