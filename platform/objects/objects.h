// SPDX-License-Identifier: MIT
// Objects across processes: the stand-in for out-of-process COM.
//
// A server program registers classes by class identifier; a client creates an
// object by class identifier and calls its members by member number. Every object
// a client creates lives in an apartment (thread) of its own in the server, so
// a call blocked in one object never delays another. An object lives until its
// client releases it or the client's connection closes (calls still queued for
// it are then dropped; one under way runs to its end); the server exits when
// its last object is gone. Failures reach the client as ObjectError.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace platform::objects {

// The typed values a call carries: empty, boolean, 32-bit integer, text.
using Arg = std::variant<std::monostate, bool, std::int32_t, std::string>;

// A failed activation or call: server gone, class not registered, start time-out,
// a member the object does not have. what() is a clear text for the user.
class ObjectError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// ---- server side ----

// One object of a registered class. Invoke runs on the object's own apartment
// thread; `args` are in/out (by-reference parameters come back through them).
// Throwing ObjectError gives the client an error reply.
class Object {
  public:
    virtual ~Object() = default;
    virtual Arg Invoke(std::uint32_t member, std::vector<Arg>& args) = 0;
};

struct ClassInfo {
    std::string clsid;  // "{D5794A3B-706E-44D1-B775-8AFE31BF08DC}"
    std::string iid;    // its default interface
    // Called on the new object's apartment thread; the object is destroyed there too.
    std::function<std::unique_ptr<Object>()> create;
};

// Writes one registration record per class, naming `executable`, atomically,
// into the per-user store. Returns false (and says why on stderr) on failure.
bool RegisterServer(const std::vector<ClassInfo>& classes, const std::string& executable);

// Serves the classes until the last object is released (at least until the first
// activation, within a bounded time). Returns the process's exit code. A second
// server of the same user leaves at once with 0. `onStart` runs once this
// server is the user's only one, before it takes any client.
int RunServer(const std::vector<ClassInfo>& classes, const std::function<void()>& onStart = {});

// ---- client side ----

// A reference to one object in the server. Calls are synchronous. Destroying the
// reference releases the object without waiting for the server: a server that
// takes nothing for a moment loses the connection (and with it every object
// on it) instead.
class Ref {
  public:
    virtual ~Ref() = default;
    // Waits at most `limit` for the answer, then throws ObjectError; the
    // server is not told, and its late answer is dropped. A caller that must
    // stay responsive (a window thread) passes a short limit.
    virtual Arg Call(std::uint32_t member, std::vector<Arg>& args,
                     std::chrono::milliseconds limit) = 0;
    // With the default limit, long enough for any member that blocks its
    // object for a while (an echo).
    Arg Call(std::uint32_t member, std::vector<Arg>& args);
    Arg Call(std::uint32_t member) {
        std::vector<Arg> none;
        return Call(member, none);
    }
};

// Creates an object of the class `clsid` with interface `iid`: connects to the
// running server, or starts the registered executable and waits a bounded time
// (5 s) for it. A running server that does not make the object within a
// second is taken as stopped or hung: ObjectError, no longer wait.
std::unique_ptr<Ref> CreateObject(const std::string& clsid, const std::string& iid);

// For a run with a private session (platform::PrivateSession), after its last
// object is released: waits up to `limit` for the session's server to end,
// and ends it when it does not and this process started it. Such a server
// serves no one else, and one that is stopped or hung would stay for good.
void EndPrivateServer(std::chrono::milliseconds limit);

}  // namespace platform::objects
