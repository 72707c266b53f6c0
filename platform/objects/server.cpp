// SPDX-License-Identifier: MIT
// The object server: one thread owns the sockets and the frame dispatchers;
// every object lives on an apartment of its own and sends its replies itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "platform/objects/frames.h"
#include "platform/objects/internal.h"
#include "platform/objects/objects.h"
#include "platform/process/msgbox.h"
#include "platform/threads/apartment.h"
#include "platform/threads/shared_block.h"

namespace platform::objects {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using frames::Action;
using frames::Reply;
using frames::Status;

// What the I/O thread and the apartments share.
struct Link;
struct Shared {
    ~Shared() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    std::atomic<long> live{0};  // objects created or being created, not yet destroyed
    int wakeFd = -1;

    // Objects whose construction failed, reported by their apartments.
    std::mutex failedMutex;
    std::vector<std::pair<std::weak_ptr<Link>, std::uint32_t>> failed;

    void Wake() {
        std::uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;  // a full counter already wakes the loop
    }
};

// The server's record of one object; `obj` and `counted` are touched only
// on its apartment's thread.
struct Hosted {
    std::unique_ptr<Object> obj;
    bool counted = false;  // still part of Shared::live
};

// Destroying an apartment waits for its current call; that must not stall the
// I/O thread, so apartments are destroyed here, one after another.
class Reaper {
  public:
    Reaper() : thread_([this] { Loop(); }) {}
    ~Reaper() {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void Add(std::unique_ptr<Apartment> apt) {
        {
            std::lock_guard lock(m_);
            queue_.push_back(std::move(apt));
        }
        cv_.notify_one();
    }

  private:
    void Loop() {
        std::unique_lock lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto apt = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            apt.reset();
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<Apartment>> queue_;
    bool stop_ = false;
    std::thread thread_;  // last: starts after the fields above exist
};

struct Link {
    Link(int fd, std::map<std::string, std::string> classes, std::shared_ptr<Shared> shared)
        : fd(fd),
          dispatcher(std::move(classes)),
          frameStart(Clock::now()),
          shared(std::move(shared)) {}
    ~Link() { ::close(fd); }

    // From any thread; never blocks. What the socket does not take at once is
    // queued for the I/O thread. A queue over its bound, or a failed send, ends
    // the connection: its reader sees the shutdown and releases the client's objects.
    void Send(const std::string& frame) {
        std::lock_guard lock(sendMutex);
        if (dead) return;
        std::size_t done = 0;
        if (outbox.empty()) {
            ssize_t n = 0;
            do {
                n = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n < 0 && errno != EAGAIN) return Kill(nullptr);
            done = n > 0 ? static_cast<std::size_t>(n) : 0;
            if (done == frame.size()) return;
            lastDrain = Clock::now();
        }
        if (outbox.size() + frame.size() - done > detail::kMaxQueuedReplyBytes)
            return Kill("its replies were not read");
        outbox.append(frame, done);
        shared->Wake();  // the I/O thread now waits for room as well
    }

    // I/O thread: sends what is queued, as far as the socket takes it.
    void Flush() {
        std::lock_guard lock(sendMutex);
        while (!dead && !outbox.empty()) {
            ssize_t n = ::send(fd, outbox.data(), outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            if (n <= 0) return Kill(nullptr);
            outbox.erase(0, static_cast<std::size_t>(n));
            lastDrain = Clock::now();
        }
    }

    bool Queued() {
        std::lock_guard lock(sendMutex);
        return !dead && !outbox.empty();
    }

    // Why the send side gave up, once it has.
    const char* Stalled(Clock::time_point now) {
        std::lock_guard lock(sendMutex);
        if (!dead && !outbox.empty() && now - lastDrain > detail::kDrainLimit)
            Kill("its replies were not read in time");
        return killedWhy;
    }

    // Under sendMutex.
    void Kill(const char* why) {
        dead = true;
        killedWhy = why;
        outbox.clear();
        outbox.shrink_to_fit();
        ::shutdown(fd, SHUT_RDWR);
    }

    const int fd;
    std::mutex sendMutex;
    bool dead = false;                // guarded by sendMutex
    std::string outbox;               // guarded by sendMutex
    Clock::time_point lastDrain;      // guarded by sendMutex
    const char* killedWhy = nullptr;  // guarded by sendMutex
    std::atomic<long> inFlight{0};    // calls posted to apartments, not yet answered
    // Set when the connection closes: calls still queued on its objects' apartments
    // are dropped instead of run for a client that can no longer take an answer.
    std::atomic<bool> cancelled{false};
    // The part of the session's block budget that this client's objects may use.
    const std::shared_ptr<BlockShare> blocks =
        std::make_shared<BlockShare>(detail::kMaxBlockBytesPerConnection);

    // I/O thread only.
    frames::Dispatcher dispatcher;
    std::map<std::uint32_t, std::pair<std::unique_ptr<Apartment>, std::shared_ptr<Hosted>>> objects;
    // When the current unfinished frame began, or the last whole frame arrived:
    // a peer that trickles bytes without finishing a frame is dropped as well.
    Clock::time_point frameStart;
    bool closed = false;
    std::shared_ptr<Shared> shared;
};

void SendReply(Link& link, Reply& rep) {
    std::string frame = frames::EncodeReply(rep);
    if (frame.empty()) {
        rep = Reply{rep.requestId, Status::Failed, "the reply is too large to send", {}, {}};
        frame = frames::EncodeReply(rep);
    }
    link.Send(frame);
}

// On the new object's apartment: makes the object and answers the creation.
// An object that could not be made is reported to the I/O thread, which
// forgets its id.
void MakeObject(const std::shared_ptr<Link>& link, Hosted& hosted, const ClassInfo& info,
                Shared& shared, std::uint32_t id, std::uint32_t req) {
    if (!link->cancelled) {
        // Every block this object opens counts against its client's share.
        SetThreadBlockShare(link->blocks);
        Reply rep{req, Status::Ok, {}, static_cast<std::int32_t>(id), {}};
        try {
            hosted.obj = info.create();
            if (!hosted.obj) throw ObjectError("the class made no object");
        } catch (const std::exception& e) {
            rep.status = Status::Failed;
            rep.message = std::string("the object could not be created: ") + e.what();
            rep.result = {};
        }
        SendReply(*link, rep);
    }
    --link->inFlight;
    if (!hosted.obj) {
        hosted.counted = false;
        {
            std::lock_guard lock(shared.failedMutex);
            shared.failed.emplace_back(link, id);
        }
        --shared.live;
        shared.Wake();
    }
}

// On the object's apartment: runs one call and answers it, unless its
// client has gone.
void RunCall(Link& link, Hosted& hosted, std::uint32_t req, std::uint32_t member,
             std::vector<Arg>& args) {
    if (link.cancelled) {
        --link.inFlight;
        return;
    }
    Reply rep{req, Status::Ok, {}, {}, {}};
    if (!hosted.obj) {
        rep.status = Status::NoSuchObject;
        rep.message = "the object could not be created";
    } else {
        try {
            rep.result = hosted.obj->Invoke(member, args);
            rep.args = std::move(args);
        } catch (const ObjectError& e) {
            rep.status = Status::Failed;
            rep.message = e.what();
        } catch (const std::exception& e) {
            rep.status = Status::Failed;
            rep.message = std::string("the call failed: ") + e.what();
        } catch (...) {
            rep.status = Status::Failed;
            rep.message = "the call failed";
        }
    }
    SendReply(link, rep);
    --link.inFlight;
}

class Server {
  public:
    Server(const std::vector<ClassInfo>& classes, const std::function<void()>& onStart)
        : onStart_(onStart) {
        for (const auto& c : classes) {
            byClsid_[c.clsid] = &c;
            interfaces_[c.clsid] = c.iid;
        }
    }

    int Run();

  private:
    bool Listen();
    void Accept();
    void Read(const std::shared_ptr<Link>& link);
    // One handler per request kind.
    void Execute(const std::shared_ptr<Link>& link, Action& a);
    void Create(const std::shared_ptr<Link>& link, const Action& a);
    void Call(const std::shared_ptr<Link>& link, Action& a);
    void Release(Link& link, std::uint32_t objectId);
    bool Posted(Link& link);
    void DestroyLater(std::unique_ptr<Apartment> apt, std::shared_ptr<Hosted> hosted);
    void Close(Link& link, const char* why);
    void ForgetFailed();

    struct Fd {
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
        int fd = -1;
    };

    // Destroyed last, in this order: the reaper joins every apartment, and only
    // then is the lock let go.
    Fd lock_;
    Reaper reaper_;

    std::map<std::string, const ClassInfo*> byClsid_;
    std::map<std::string, std::string> interfaces_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::list<std::shared_ptr<Link>> links_;
    int listenFd_ = -1;
    std::string socketPath_;
    bool everCreated_ = false;
    const std::function<void()>& onStart_;
};

bool Server::Listen() {
    socketPath_ = detail::SocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof addr.sun_path) {
        platform::LogLine("object server: the socket path is too long: %s", socketPath_.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    // We hold the lock, so a socket file left here belongs to a server that died.
    ::unlink(socketPath_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(socketPath_.c_str(), 0600) != 0 || ::listen(listenFd_, 256) != 0) {
        platform::LogLine("object server: cannot listen on %s: %s", socketPath_.c_str(),
                          std::strerror(errno));
        return false;
    }
    return true;
}

void Server::Accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors: pause instead of spinning on a listener that stays readable.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(20ms);
            return;
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            cred.uid != ::geteuid()) {
            // Another user's program (the folder should have stopped it already).
            Reply rep{0,
                      Status::Refused,
                      "the object server belongs to another user: connection refused",
                      {},
                      {}};
            std::string frame = frames::EncodeReply(rep);
            ssize_t n = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;
            ::close(fd);
            continue;
        }
        links_.push_back(std::make_shared<Link>(fd, interfaces_, shared_));
    }
}

void Server::Read(const std::shared_ptr<Link>& link) {
    char buf[65536];
    ssize_t n = ::recv(link->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return Close(*link, link->Stalled(Clock::now()));
    bool wasPartial = link->dispatcher.Partial();
    auto framesBefore = link->dispatcher.FramesSeen();
    std::vector<Action> actions;
    link->dispatcher.Receive(buf, static_cast<std::size_t>(n), actions);
    if (!wasPartial || link->dispatcher.FramesSeen() != framesBefore)
        link->frameStart = Clock::now();
    for (auto& a : actions) {
        if (link->closed) return;  // a bound was crossed by an earlier frame
        if (a.type == Action::Type::Close) return Close(*link, a.why.c_str());
        Execute(link, a);
    }
}

void Server::Execute(const std::shared_ptr<Link>& link, Action& a) {
    switch (a.type) {
        case Action::Type::Send:
            return link->Send(a.frame);
        case Action::Type::Create:
            return Create(link, a);
        case Action::Type::Call:
            return Call(link, a);
        case Action::Type::Release:
            return Release(*link, a.objectId);
        case Action::Type::Close:
            return;  // handled by Read
    }
}

void Server::Create(const std::shared_ptr<Link>& link, const Action& a) {
    everCreated_ = true;
    auto refuse = [&](Status status, std::string why) {
        link->dispatcher.Forget(a.objectId);
        Reply rep{a.requestId, status, std::move(why), {}, {}};
        SendReply(*link, rep);
    };
    // Each object is a thread: a cap over all clients keeps one of them
    // from taking every thread the system has.
    if (shared_->live >= detail::kMaxLiveObjects)
        return refuse(Status::TooManyObjects, "the object server holds too many objects");
    if (!Posted(*link)) return;
    std::unique_ptr<Apartment> apt;
    try {
        apt = std::make_unique<Apartment>();
    } catch (const std::exception& e) {
        --link->inFlight;
        return refuse(Status::Failed,
                      std::string("the object server cannot start a thread: ") + e.what());
    }
    ++shared_->live;
    auto hosted = std::make_shared<Hosted>();
    hosted->counted = true;  // published to the apartment by Post's lock
    apt->Post([link, hosted, info = byClsid_.at(a.clsid), shared = shared_, id = a.objectId,
               req = a.requestId] { MakeObject(link, *hosted, *info, *shared, id, req); });
    link->objects[a.objectId] = {std::move(apt), std::move(hosted)};
}

void Server::Call(const std::shared_ptr<Link>& link, Action& a) {
    auto it = link->objects.find(a.objectId);
    if (it == link->objects.end()) return;  // the dispatcher knows every id we hold
    if (!Posted(*link)) return;
    it->second.first->Post(
        [link, hosted = it->second.second, req = a.requestId, member = a.member,
         args = std::move(a.args)]() mutable { RunCall(*link, *hosted, req, member, args); });
}

void Server::Release(Link& link, std::uint32_t objectId) {
    auto it = link.objects.find(objectId);
    if (it == link.objects.end()) return;
    auto entry = std::move(it->second);
    link.objects.erase(it);
    DestroyLater(std::move(entry.first), std::move(entry.second));
}

// Counts a call about to be posted; a peer that keeps sending calls without
// waiting for their answers would otherwise queue work without bound.
bool Server::Posted(Link& link) {
    if (++link.inFlight <= detail::kMaxCallsInFlight) return true;
    Close(link, "too many calls in flight");
    return false;
}

// The object is destroyed on its own thread, after the calls already posted to it.
void Server::DestroyLater(std::unique_ptr<Apartment> apt, std::shared_ptr<Hosted> hosted) {
    apt->Post([hosted, shared = shared_] {
        if (!hosted->counted) return;
        hosted->obj.reset();
        hosted->counted = false;
        --shared->live;
        shared->Wake();
    });
    reaper_.Add(std::move(apt));
}

void Server::Close(Link& link, const char* why) {
    if (link.closed) return;
    link.closed = true;
    link.cancelled = true;
    if (why) platform::LogLine("object server: closed a connection: %s", why);
    for (auto& [id, entry] : link.objects)
        DestroyLater(std::move(entry.first), std::move(entry.second));
    link.objects.clear();
    {
        std::lock_guard lock(link.sendMutex);
        link.dead = true;
    }
    ::shutdown(link.fd, SHUT_RDWR);
}

void Server::ForgetFailed() {
    std::vector<std::pair<std::weak_ptr<Link>, std::uint32_t>> failed;
    {
        std::lock_guard lock(shared_->failedMutex);
        failed.swap(shared_->failed);
    }
    for (auto& [weak, id] : failed) {
        auto link = weak.lock();
        if (!link || link->closed) continue;
        link->dispatcher.Forget(id);
        auto it = link->objects.find(id);
        if (it == link->objects.end()) continue;
        reaper_.Add(std::move(it->second.first));
        link->objects.erase(it);
    }
}

int Server::Run() {
    std::string lockPath;
    try {
        lockPath = detail::LockPath();
    } catch (const std::exception& e) {
        platform::LogLine("object server: %s", e.what());
        return 1;
    }
    lock_.fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_.fd < 0) {
        platform::LogLine("object server: cannot open %s: %s", lockPath.c_str(),
                          std::strerror(errno));
        return 1;
    }
    // One server per user: a second one started by a race leaves quietly.
    if (::flock(lock_.fd, LOCK_EX | LOCK_NB) != 0) return 0;
    if (onStart_) onStart_();
    shared_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared_->wakeFd < 0 || !Listen()) return 1;

    auto started = Clock::now();
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Link>> polled;
    for (;;) {
        fds.clear();
        polled.clear();
        fds.push_back({shared_->wakeFd, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (auto& l : links_) {
            fds.push_back({l->fd, static_cast<short>(l->Queued() ? POLLIN | POLLOUT : POLLIN), 0});
            polled.push_back(l);
        }
        ::poll(fds.data(), fds.size(), 250);
        if (fds[0].revents) {
            std::uint64_t n;
            ssize_t r = ::read(shared_->wakeFd, &n, sizeof n);
            (void)r;
        }
        ForgetFailed();
        if (fds[1].revents & POLLIN) Accept();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 2].revents & POLLOUT) polled[i]->Flush();
            if (fds[i + 2].revents & ~POLLOUT) Read(polled[i]);
        }
        auto now = Clock::now();
        for (auto& l : links_) {
            if (l->closed) continue;
            if (const char* why = l->Stalled(now))
                Close(*l, why);
            else if (l->dispatcher.Partial() && now - l->frameStart > detail::kStalledFrameLimit)
                Close(*l, "a frame stalled half-way");
        }
        links_.remove_if([](const std::shared_ptr<Link>& l) { return l->closed; });
        if (shared_->live == 0 && (everCreated_ || now - started > detail::kIdleStartLimit)) {
            break;
        }
    }

    // Stop taking clients before the lock goes, so that a client that comes now
    // finds no socket and starts the next server; one that was connected sees
    // its connection close and does the same.
    ::close(listenFd_);
    ::unlink(socketPath_.c_str());
    for (auto& l : links_) Close(*l, nullptr);
    links_.clear();
    return 0;
}

}  // namespace

int RunServer(const std::vector<ClassInfo>& classes, const std::function<void()>& onStart) {
    int rc;
    {
        Server server(classes, onStart);
        rc = server.Run();
    }  // the reaper has destroyed every apartment
    return rc;
}

}  // namespace platform::objects
