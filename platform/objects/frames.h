// SPDX-License-Identifier: MIT
// Frames between an object client and the object server, and the server's
// per-connection dispatcher. Encoding and decoding only, no I/O: every byte
// sequence a peer can send is handled here, so it is tested with literal bytes
// and fuzzed.
//
// A frame (all integers little-endian):
//   u32  length      bytes that follow; at most kMaxFrameBody, checked before buffering
//   u8   kind        Kind below
//   u32  request id  chosen by the client, echoed by the reply; 0 in an unsolicited reply
//   body by kind:
//     Create   text clsid, text iid                         answered by a Reply
//     Call     u32 object id, u32 member, u8 count, values  answered by a Reply
//     Release  u32 object id                                not answered
//     Reply    u8 status, text message, value result, u8 count, values (out arguments)
//              (for Create, result is the new object's id as int32)
// A value is u8 type (0 empty, 1 boolean, 2 int32, 3 text) and then: boolean u8 0 or 1,
// int32 4 bytes, text u32 length and its bytes. Nothing may follow the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/objects/objects.h"

namespace platform::frames {

using objects::Arg;

inline constexpr std::size_t kMaxFrameBody = 64 * 1024;
inline constexpr std::size_t kMaxArgs = 32;
// A connection may hold this many objects: fewer than the server's cap on all
// of them (internal.h), so that one client cannot take every thread.
inline constexpr std::size_t kMaxObjectsPerConnection = 1024;

enum class Kind : std::uint8_t { Create = 1, Call = 2, Release = 3, Reply = 4 };

enum class Status : std::uint8_t {
    Ok = 0,
    Failed = 1,        // the member or the class's constructor failed; message says why
    NoSuchObject = 2,  // the object id is not one of this connection's
    NoSuchClass = 3,   // class or interface not served here
    TooManyObjects = 4,
    Refused = 5,  // unsolicited: the peer is not the server's user
};

struct Request {
    Kind kind = Kind::Call;
    std::uint32_t requestId = 0;
    std::string clsid, iid;      // Create
    std::uint32_t objectId = 0;  // Call, Release
    std::uint32_t member = 0;    // Call
    std::vector<Arg> args;       // Call
};

struct Reply {
    std::uint32_t requestId = 0;
    Status status = Status::Ok;
    std::string message;
    Arg result;
    std::vector<Arg> args;
};

// Whole frames, length prefix included. Empty when the frame would exceed
// kMaxFrameBody or carry more than kMaxArgs values.
std::string EncodeRequest(const Request& r);
std::string EncodeReply(const Reply& r);

// Decode one frame body (what follows the length). False, with `why`, for any
// malformed field, unknown kind or trailing byte.
bool DecodeRequest(std::string_view body, Request& out, std::string& why);
bool DecodeReply(std::string_view body, Reply& out, std::string& why);

// Cuts a byte stream into frame bodies.
class FrameReader {
  public:
    enum class Next { Frame, NeedMore, Bad };

    void Feed(const char* data, std::size_t n) { buf_.append(data, n); }
    // Frame: `body` holds the next body. Bad: a length of 0 or over the cap;
    // the stream cannot be resynchronised and must be closed.
    Next Pop(std::string& body);
    // Bytes of an unfinished frame are buffered.
    bool Partial() const { return pos_ < buf_.size(); }

  private:
    std::string buf_;
    std::size_t pos_ = 0;
};

// What the server must do for one connection, in order.
struct Action {
    enum class Type { Create, Call, Release, Send, Close };
    Type type = Type::Send;
    std::uint32_t requestId = 0;
    std::uint32_t objectId = 0;  // Create: the id given to the new object
    std::string clsid;           // Create
    std::uint32_t member = 0;    // Call
    std::vector<Arg> args;       // Call
    std::string frame;           // Send: a whole reply frame
    std::string why;             // Close
};

// The server's side of one connection, without threads or sockets: checks
// each request against the classes served and the objects this connection
// owns, and says what to do. A malformed frame gives Close and nothing more.
class Dispatcher {
  public:
    // classes: clsid -> iid
    explicit Dispatcher(std::map<std::string, std::string> classes,
                        std::size_t maxObjects = kMaxObjectsPerConnection);

    void Receive(const char* data, std::size_t n, std::vector<Action>& out);
    // The object's construction failed: its id is no longer valid.
    void Forget(std::uint32_t objectId) { objects_.erase(objectId); }
    const std::set<std::uint32_t>& Objects() const { return objects_; }
    bool Closed() const { return closed_; }
    bool Partial() const { return reader_.Partial(); }
    // Whole frames seen so far: progress, as opposed to bytes trickling in.
    std::uint64_t FramesSeen() const { return frames_; }

  private:
    void Handle(const Request& r, std::vector<Action>& out);
    void Error(std::uint32_t requestId, Status s, std::string message, std::vector<Action>& out);

    std::map<std::string, std::string> classes_;
    std::size_t maxObjects_;
    std::set<std::uint32_t> objects_;
    std::uint32_t nextId_ = 1;
    FrameReader reader_;
    std::uint64_t frames_ = 0;
    bool closed_ = false;
};

}  // namespace platform::frames
