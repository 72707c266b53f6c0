// SPDX-License-Identifier: MIT
// The object client: activation, and the one connection per process that
// every reference shares.
#include "platform/objects/objects.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/objects/frames.h"
#include "platform/objects/internal.h"
#include "platform/objects/registration.h"
#include "platform/process/process.h"
#include "platform/process/session.h"

namespace platform::objects {

namespace detail {

std::string SocketPath() { return SessionDir() + "/objects.sock"; }
std::string LockPath() { return SessionDir() + "/objects.lock"; }

}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using frames::Kind;
using frames::Reply;
using frames::Request;
using frames::Status;

// Long enough for a server to start on a loaded machine, short enough that the
// window can tell the user instead of seeming to hang.
constexpr auto kActivationLimit = 5s;
// A running server makes an object (a thread) in milliseconds; one that takes
// longer than this is stopped or hung, and a window must not freeze on it.
constexpr auto kCreateLimit = 1s;
// A member may block its object for a while (an echo); a server that answers
// nothing for this long is taken as hung.
constexpr auto kCallLimit = 30s;
// A release waits at most this long for room in the socket: a server that
// reads nothing for so long is stuck, and its connection is dropped instead,
// which releases every object on it as well.
constexpr auto kReleaseLimit = 200ms;

std::string Errno(int e) { return std::strerror(e); }

std::string Span(Clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// Starts the server in a session of its own; a thread reaps it, so its end
// leaves no zombie behind.
int StartServer(const std::string& exe) {
    auto started = StartProgram(exe, {"-Embedding"}, StartMode::Detached);
    if (!started.ok()) return started.error;
    DetachProgram(started.pid);
    return 0;
}

// The connection broke; `refused` when the server turned us away on purpose.
struct Lost {
    std::string why;
    bool refused = false;
};

// One connection per client process, shared by all its references. Calls from
// several threads are in flight at once: whichever caller is waiting reads the
// socket and hands each reply to the caller whose request id it carries.
class Connection {
  public:
    explicit Connection(int fd) : fd_(fd), owner_(::getpid()) {}
    ~Connection() { ::close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Nothing when no server listens.
    static std::shared_ptr<Connection> Open() {
        std::string path = detail::SocketPath();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path)
            throw ObjectError("the session folder's path is too long for a socket: " + path);
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        // Non-blocking throughout: a server that is stopped neither accepts
        // nor reads, and no connect, send or receive may wait on it unbounded.
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) throw ObjectError("cannot make a socket: " + Errno(errno));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            const int err = errno;
            ::close(fd);
            // A full backlog: the server is there but takes no one.
            if (err == EAGAIN)
                throw ObjectError("the object server at " + path +
                                  " takes no connection: it is stopped or overloaded");
            return nullptr;
        }
        // As the server checks us: a socket served by another user's program
        // would see every slot name and command we send.
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            cred.uid != ::geteuid()) {
            ::close(fd);
            throw ObjectError("the object server's socket " + path +
                              " is served by another user: refused");
        }
        return std::make_shared<Connection>(fd);
    }

    bool Usable() {
        std::lock_guard lock(m_);
        return !broken_ && owner_ == ::getpid();
    }

    Reply Transact(Request& r, Clock::duration limit) {
        std::optional<Reply> answer;  // filled by whichever thread reads it
        std::uint32_t id;
        {
            std::lock_guard lock(m_);
            if (broken_) throw Lost{why_, refused_};
            id = nextId_++;
            if (nextId_ == 0) nextId_ = 1;  // 0 marks an unsolicited reply
            pending_[id] = &answer;
        }
        r.requestId = id;
        std::string frame = frames::EncodeRequest(r);
        if (frame.empty()) {
            std::lock_guard lock(m_);
            pending_.erase(id);
            throw ObjectError("the call's arguments are too large to send");
        }
        const auto deadline = Clock::now() + limit;
        SendOrBreak(frame, deadline, limit);

        std::unique_lock lock(m_);
        for (;;) {
            if (answer) break;
            if (broken_) {
                pending_.erase(id);
                throw Lost{why_, refused_};
            }
            if (Clock::now() >= deadline) {
                pending_.erase(id);
                throw ObjectError("the object server did not answer within " + Span(limit));
            }
            if (!reading_) {
                reading_ = true;
                lock.unlock();
                ReadSome(deadline);
                lock.lock();
                reading_ = false;
                cv_.notify_all();  // another waiter takes over reading
            } else {
                cv_.wait_until(lock, deadline);
            }
        }
        pending_.erase(id);
        return std::move(*answer);
    }

    // Never waits longer than kReleaseLimit: a stuck server loses the
    // connection instead, and with it every object on it.
    void SendOneWay(Request& r) {
        std::string frame = frames::EncodeRequest(r);
        if (frame.empty()) return;
        {
            std::lock_guard lock(m_);
            if (broken_) return;  // the server releases everything of a closed connection
        }
        SendOrBreak(frame, Clock::now() + kReleaseLimit, kReleaseLimit);
    }

  private:
    enum class Sent { Whole, Failed, TimedOut };

    // The whole frame, waiting for room until `deadline` at the latest. One
    // sender at a time, so frames never interleave.
    Sent Send(const std::string& frame, Clock::time_point deadline) {
        std::lock_guard lock(sendMutex_);
        std::size_t done = 0;
        while (done < frame.size()) {
            ssize_t n =
                ::send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Sent::Failed;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return Sent::TimedOut;
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        }
        return Sent::Whole;
    }

    // A frame that could not go out whole leaves the stream unusable (half a
    // frame may be in it): the connection is broken and the caller told.
    void SendOrBreak(const std::string& frame, Clock::time_point deadline, Clock::duration limit) {
        switch (Send(frame, deadline)) {
            case Sent::Whole:
                return;
            case Sent::Failed:
                return Break("the object server has gone away");
            case Sent::TimedOut:
                return Break("the object server took nothing within " + Span(limit) +
                             ": it is stopped or hung");
        }
    }

    // Wakes every waiter; the socket is shut down, so a thread polling it
    // (the reader) returns at once and nothing more is sent on it.
    void Break(const std::string& why, bool refused = false) {
        std::lock_guard lock(m_);
        if (!broken_) {
            broken_ = true;
            why_ = why;
            refused_ = refused;
            ::shutdown(fd_, SHUT_RDWR);
        }
        cv_.notify_all();
    }

    // Only one thread at a time (the one that set reading_).
    void ReadSome(Clock::time_point deadline) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(wait.count(), 0) + 1));
        if (rc <= 0) return;
        char buf[16384];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) return Break("the object server has gone away");
        reader_.Feed(buf, static_cast<std::size_t>(n));
        std::string body;
        for (;;) {
            auto next = reader_.Pop(body);
            if (next == frames::FrameReader::Next::NeedMore) return;
            Reply rep;
            std::string why;
            if (next == frames::FrameReader::Next::Bad || !frames::DecodeReply(body, rep, why))
                return Break("the object server sent a malformed reply");
            if (rep.requestId == 0) {
                return Break(
                    rep.message.empty() ? "the object server refused the connection" : rep.message,
                    rep.status == Status::Refused);
            }
            std::lock_guard lock(m_);
            auto it = pending_.find(rep.requestId);
            if (it != pending_.end()) *it->second = std::move(rep);  // else its caller gave up
        }
    }

    const int fd_;
    const pid_t owner_;
    std::mutex sendMutex_;
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::uint32_t, std::optional<Reply>*> pending_;
    std::uint32_t nextId_ = 1;
    bool reading_ = false;
    bool broken_ = false;
    bool refused_ = false;
    std::string why_;
    frames::FrameReader reader_;  // used by the reading thread only
};

std::mutex connectionMutex;
std::weak_ptr<Connection> liveConnection;

// The process's live connection, a new one, or nothing when no server listens.
std::shared_ptr<Connection> SharedConnection() {
    std::lock_guard lock(connectionMutex);
    if (auto c = liveConnection.lock(); c && c->Usable()) return c;
    auto c = Connection::Open();
    if (c) liveConnection = c;
    return c;
}

class RemoteRef : public Ref {
  public:
    RemoteRef(std::shared_ptr<Connection> conn, std::uint32_t id)
        : conn_(std::move(conn)), id_(id) {}
    ~RemoteRef() override {
        Request r;
        r.kind = Kind::Release;
        r.objectId = id_;
        conn_->SendOneWay(r);
    }

    using Ref::Call;
    Arg Call(std::uint32_t member, std::vector<Arg>& args,
             std::chrono::milliseconds limit) override {
        Request r;
        r.kind = Kind::Call;
        r.objectId = id_;
        r.member = member;
        r.args = args;
        Reply rep;
        try {
            rep = conn_->Transact(r, limit);
        } catch (const Lost& lost) {
            throw ObjectError(lost.why);
        }
        if (rep.status != Status::Ok)
            throw ObjectError(rep.message.empty() ? "the call failed" : rep.message);
        args = std::move(rep.args);
        return std::move(rep.result);
    }

  private:
    std::shared_ptr<Connection> conn_;
    std::uint32_t id_;
};

}  // namespace

Arg Ref::Call(std::uint32_t member, std::vector<Arg>& args) {
    return Call(member, args, std::chrono::duration_cast<std::chrono::milliseconds>(kCallLimit));
}

std::unique_ptr<Ref> CreateObject(const std::string& clsid, const std::string& iid) {
    if (!detail::IsClassId(clsid)) throw ObjectError("not a class identifier: " + clsid);
    auto deadline = Clock::now() + kActivationLimit;
    try {
        // The registering run may still be on its way (it is started without
        // waiting), so a missing record is waited for, for a bounded time.
        std::optional<detail::Record> rec;
        while (!(rec = detail::ReadRecord(clsid))) {
            if (Clock::now() >= deadline)
                throw ObjectError("the class " + clsid + " is not registered");
            std::this_thread::sleep_for(20ms);
        }
        bool started = false;
        Clock::time_point lastStart;
        std::string lastWhy;
        for (;;) {
            if (auto conn = SharedConnection()) {
                Request r;
                r.kind = Kind::Create;
                r.clsid = clsid;
                r.iid = iid;
                try {
                    Reply rep = conn->Transact(r, kCreateLimit);
                    if (rep.status != Status::Ok)
                        throw ObjectError(rep.message.empty() ? "the object could not be created"
                                                              : rep.message);
                    auto* id = std::get_if<std::int32_t>(&rep.result);
                    if (!id || *id <= 0)
                        throw ObjectError("the object server sent a malformed reply");
                    return std::make_unique<RemoteRef>(std::move(conn),
                                                       static_cast<std::uint32_t>(*id));
                } catch (const Lost& lost) {
                    // The server may have been on its way out: start another one.
                    if (lost.refused) throw ObjectError(lost.why);
                    lastWhy = lost.why;
                }
            } else {
                auto now = Clock::now();
                // A second start is harmless (the later server leaves quietly) and
                // covers a server that was still ending when we first started one.
                if (!started || now - lastStart >= 500ms) {
                    if (int e = StartServer(rec->executable)) {
                        throw ObjectError("cannot start the object server " + rec->executable +
                                          ": " + Errno(e));
                    }
                    started = true;
                    lastStart = now;
                }
            }
            if (Clock::now() >= deadline) {
                if (!lastWhy.empty()) throw ObjectError(lastWhy);
                throw ObjectError("the object server " + rec->executable +
                                  " did not start within 5 s");
            }
            std::this_thread::sleep_for(5ms);
        }
    } catch (const ObjectError&) {
        throw;
    } catch (const std::exception& e) {
        throw ObjectError(e.what());  // the session or data folder could not be made
    }
}

void EndPrivateServer(std::chrono::milliseconds limit) {
    std::string lockPath, socketPath;
    try {
        lockPath = detail::LockPath();
        socketPath = detail::SocketPath();
    } catch (const std::exception&) {
        return;  // no session, no server
    }
    // The server holds its lock for its whole life.
    const auto ended = [&] {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return true;
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    };
    const auto waitEnded = [&](Clock::duration bound) {
        const auto deadline = Clock::now() + bound;
        while (!ended()) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    };
    if (waitEnded(limit)) return;
    // Who it is: the peer of a connection, which even a stopped server has
    // (the kernel accepts it).
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    ucred cred{};
    socklen_t len = sizeof cred;
    const bool known = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                       ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    ::close(fd);
    if (!known || cred.uid != ::geteuid() || !IsOwnChild(cred.pid)) return;
    ::kill(cred.pid, SIGKILL);
    waitEnded(1s);
}

}  // namespace platform::objects
