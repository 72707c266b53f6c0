// SPDX-License-Identifier: MIT
#include "platform/net/reverse_names.h"

#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

namespace platform {

struct ReverseNames::Channel {
    ares_channel channel = nullptr;
};

namespace {

// Each try waits this long, and a try goes on to the next name server: the
// sweep waits about a second in all, so the resolver's usual 5 s would never
// reach a second server.
constexpr int kTryMs = 400;
constexpr int kTries = 3;

struct Pending {
    ReverseNames* owner;
    std::uint32_t address;
};

}  // namespace

ReverseNames::ReverseNames() {
    static std::once_flag library;
    static int libraryStatus = ARES_SUCCESS;
    std::call_once(library, [] { libraryStatus = ares_library_init(ARES_LIB_INIT_ALL); });
    if (libraryStatus != ARES_SUCCESS) {
        problem_ =
            std::string("the resolver library cannot start: ") + ares_strerror(libraryStatus);
        return;
    }
    ares_options options{};
    options.timeout = kTryMs;
    options.tries = kTries;
    auto* channel = new Channel;
    const int status =
        ares_init_options(&channel->channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
    if (status != ARES_SUCCESS) {
        problem_ = std::string("cannot read the resolver configuration: ") + ares_strerror(status);
        delete channel;
        return;
    }
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        problem_ = "cannot start the look-ups: out of descriptors";
        ares_destroy(channel->channel);
        delete channel;
        return;
    }
    channel_ = channel;
    thread_ = std::thread([this] { Run(); });
}

ReverseNames::~ReverseNames() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        const std::uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (wake_ >= 0) close(wake_);
    delete channel_;
}

void ReverseNames::Start(std::uint32_t address) {
    {
        std::lock_guard lock(mutex_);
        if (!names_.emplace(address, std::string()).second) return;
        if (channel_ == nullptr) return;  // no resolver: no name
        queued_.push_back(address);
        ++outstanding_;
    }
    const std::uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
}

bool ReverseNames::Wait(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return ended_.wait_until(lock, deadline, [&] { return outstanding_ == 0; });
}

std::string ReverseNames::Name(std::uint32_t address) const {
    std::lock_guard lock(mutex_);
    const auto found = names_.find(address);
    return found == names_.end() ? std::string() : found->second;
}

void ReverseNames::Ended(std::uint32_t address, const char* name) {
    {
        std::lock_guard lock(mutex_);
        if (name != nullptr) names_[address] = name;
        --outstanding_;
    }
    ended_.notify_all();
}

void ReverseNames::Run() {
    ares_channel channel = channel_->channel;
    const auto done = [](void* arg, int status, int, hostent* host) {
        auto* pending = static_cast<Pending*>(arg);
        // Cancelled at the end (ARES_EDESTRUCTION) counts as ended too.
        const bool named = status == ARES_SUCCESS && host != nullptr && host->h_name != nullptr;
        pending->owner->Ended(pending->address, named ? host->h_name : nullptr);
        delete pending;
    };
    for (;;) {
        std::deque<std::uint32_t> start;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            start.swap(queued_);
        }
        for (std::uint32_t address : start) {
            in_addr a{};
            a.s_addr = address;
            ares_gethostbyaddr(channel, &a, sizeof a, AF_INET, done, new Pending{this, address});
        }
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        const int mask = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        std::vector<pollfd> fds{{wake_, POLLIN, 0}};
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
            if (events) fds.push_back({socks[i], events, 0});
        }
        timeval tv{};
        const timeval* next = ares_timeout(channel, nullptr, &tv);
        // Rounded up, so that a time-out is not polled for before it is due.
        const int waitMs =
            next ? static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000) : -1;
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) break;
        std::uint64_t drained;
        (void)!read(wake_, &drained, sizeof drained);
        bool any = false;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            any = true;
            const bool in = fds[i].revents & (POLLIN | POLLERR | POLLHUP);
            const bool out = fds[i].revents & POLLOUT;
            ares_process_fd(channel, in ? fds[i].fd : ARES_SOCKET_BAD,
                            out ? fds[i].fd : ARES_SOCKET_BAD);
        }
        // Time-outs are handled by a call with no descriptor.
        if (!any) ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
    // Calls back every look-up still out (ARES_EDESTRUCTION), on this thread.
    ares_destroy(channel);
    channel_->channel = nullptr;
}

}  // namespace platform
