// SPDX-License-Identifier: MIT
#include "platform/objects/frames.h"

#include <type_traits>

namespace platform::frames {
namespace {

enum ValueType : std::uint8_t { kEmpty = 0, kBool = 1, kInt32 = 2, kText = 3 };

class Writer {
  public:
    Writer() { out_.resize(4); }  // room for the length
    void U8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    void Text(const std::string& s) {
        if (s.size() > kMaxFrameBody) {
            tooBig_ = true;
            return;
        }
        U32(static_cast<std::uint32_t>(s.size()));
        out_ += s;
    }
    void Value(const Arg& a) {
        std::visit(
            [this](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::monostate>) {
                    U8(kEmpty);
                } else if constexpr (std::is_same_v<T, bool>) {
                    U8(kBool);
                    U8(v ? 1 : 0);
                } else if constexpr (std::is_same_v<T, std::int32_t>) {
                    U8(kInt32);
                    U32(static_cast<std::uint32_t>(v));
                } else {
                    U8(kText);
                    Text(v);
                }
            },
            a);
    }
    void Values(const std::vector<Arg>& args) {
        if (args.size() > kMaxArgs) {
            tooBig_ = true;
            return;
        }
        U8(static_cast<std::uint8_t>(args.size()));
        for (const auto& a : args) Value(a);
    }
    std::string Finish() {
        std::size_t body = out_.size() - 4;
        if (tooBig_ || body > kMaxFrameBody) return {};
        for (int i = 0; i < 4; ++i) out_[i] = static_cast<char>((body >> (8 * i)) & 0xff);
        return std::move(out_);
    }

  private:
    std::string out_;
    bool tooBig_ = false;
};

// Every read checks what is left first; the first failure sticks, so a decoder
// can read a whole body and look at ok() once.
class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return pos_ == in_.size(); }
    const char* why() const { return why_; }

    std::uint8_t U8() {
        if (!Need(1)) return 0;
        return static_cast<std::uint8_t>(in_[pos_++]);
    }
    std::uint32_t U32() {
        if (!Need(4)) return 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(in_[pos_ + i])) << (8 * i);
        pos_ += 4;
        return v;
    }
    std::string Text() {
        std::uint32_t n = U32();
        if (!Need(n)) return {};  // checked against what arrived, never allocated first
        std::string s(in_.substr(pos_, n));
        pos_ += n;
        return s;
    }
    Arg Value() {
        switch (U8()) {
            case kEmpty:
                return std::monostate{};
            case kBool: {
                std::uint8_t b = U8();
                if (b > 1) Fail("a boolean is neither 0 nor 1");
                return b == 1;
            }
            case kInt32:
                return static_cast<std::int32_t>(U32());
            case kText:
                return Text();
            default:
                Fail("unknown value type");
                return std::monostate{};
        }
    }
    std::vector<Arg> Values() {
        std::uint8_t n = U8();
        std::vector<Arg> v;
        if (n > kMaxArgs) {
            Fail("too many values");
            return v;
        }
        for (std::uint8_t i = 0; i < n && ok_; ++i) v.push_back(Value());
        return v;
    }
    void Fail(const char* why) {
        if (ok_) why_ = why;
        ok_ = false;
    }

  private:
    bool Need(std::size_t n) {
        if (!ok_) return false;
        if (in_.size() - pos_ < n) {
            Fail("the frame ends inside a field");
            return false;
        }
        return true;
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
    const char* why_ = "";
};

bool Finish(Reader& r, std::string& why) {
    if (r.ok() && !r.AtEnd()) r.Fail("bytes follow the frame's body");
    if (!r.ok()) why = r.why();
    return r.ok();
}

}  // namespace

std::string EncodeRequest(const Request& r) {
    Writer w;
    w.U8(static_cast<std::uint8_t>(r.kind));
    w.U32(r.requestId);
    switch (r.kind) {
        case Kind::Create:
            w.Text(r.clsid);
            w.Text(r.iid);
            break;
        case Kind::Call:
            w.U32(r.objectId);
            w.U32(r.member);
            w.Values(r.args);
            break;
        case Kind::Release:
            w.U32(r.objectId);
            break;
        case Kind::Reply:
            return {};
    }
    return w.Finish();
}

std::string EncodeReply(const Reply& r) {
    Writer w;
    w.U8(static_cast<std::uint8_t>(Kind::Reply));
    w.U32(r.requestId);
    w.U8(static_cast<std::uint8_t>(r.status));
    w.Text(r.message);
    w.Value(r.result);
    w.Values(r.args);
    return w.Finish();
}

bool DecodeRequest(std::string_view body, Request& out, std::string& why) {
    Reader r(body);
    out = Request{};
    std::uint8_t kind = r.U8();
    out.requestId = r.U32();
    switch (kind) {
        case static_cast<std::uint8_t>(Kind::Create):
            out.kind = Kind::Create;
            out.clsid = r.Text();
            out.iid = r.Text();
            break;
        case static_cast<std::uint8_t>(Kind::Call):
            out.kind = Kind::Call;
            out.objectId = r.U32();
            out.member = r.U32();
            out.args = r.Values();
            break;
        case static_cast<std::uint8_t>(Kind::Release):
            out.kind = Kind::Release;
            out.objectId = r.U32();
            break;
        default:
            r.Fail("not a request");
    }
    return Finish(r, why);
}

bool DecodeReply(std::string_view body, Reply& out, std::string& why) {
    Reader r(body);
    out = Reply{};
    if (r.U8() != static_cast<std::uint8_t>(Kind::Reply)) r.Fail("not a reply");
    out.requestId = r.U32();
    std::uint8_t status = r.U8();
    if (status > static_cast<std::uint8_t>(Status::Refused)) r.Fail("unknown status");
    out.status = static_cast<Status>(status);
    out.message = r.Text();
    out.result = r.Value();
    out.args = r.Values();
    return Finish(r, why);
}

FrameReader::Next FrameReader::Pop(std::string& body) {
    std::size_t left = buf_.size() - pos_;
    if (left < 4) {
        // Keep the buffer from creeping: drop what was consumed once the rest is short.
        buf_.erase(0, pos_);
        pos_ = 0;
        return Next::NeedMore;
    }
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i)
        n |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(buf_[pos_ + i])) << (8 * i);
    if (n == 0 || n > kMaxFrameBody) return Next::Bad;
    if (left - 4 < n) {
        buf_.erase(0, pos_);
        pos_ = 0;
        return Next::NeedMore;
    }
    body.assign(buf_, pos_ + 4, n);
    pos_ += 4 + n;
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    }
    return Next::Frame;
}

Dispatcher::Dispatcher(std::map<std::string, std::string> classes, std::size_t maxObjects)
    : classes_(std::move(classes)), maxObjects_(maxObjects) {}

void Dispatcher::Receive(const char* data, std::size_t n, std::vector<Action>& out) {
    if (closed_) return;
    reader_.Feed(data, n);
    std::string body;
    for (;;) {
        auto next = reader_.Pop(body);
        if (next == FrameReader::Next::NeedMore) return;
        Request req;
        std::string why;
        if (next == FrameReader::Next::Frame) ++frames_;
        if (next == FrameReader::Next::Bad) {
            why = "a frame length of 0 or over the limit";
        } else if (!DecodeRequest(body, req, why)) {
            // why is set
        } else {
            Handle(req, out);
            continue;
        }
        closed_ = true;
        Action a;
        a.type = Action::Type::Close;
        a.why = why;
        out.push_back(std::move(a));
        return;
    }
}

void Dispatcher::Error(std::uint32_t requestId, Status s, std::string message,
                       std::vector<Action>& out) {
    Reply rep;
    rep.requestId = requestId;
    rep.status = s;
    rep.message = std::move(message);
    Action a;
    a.type = Action::Type::Send;
    a.requestId = requestId;
    a.frame = EncodeReply(rep);
    out.push_back(std::move(a));
}

void Dispatcher::Handle(const Request& r, std::vector<Action>& out) {
    Action a;
    a.requestId = r.requestId;
    switch (r.kind) {
        case Kind::Create: {
            auto it = classes_.find(r.clsid);
            if (it == classes_.end()) {
                // Clipped: the texts come from the peer and end up in a message.
                return Error(r.requestId, Status::NoSuchClass,
                             "the class " + r.clsid.substr(0, 64) + " is not served here", out);
            }
            if (it->second != r.iid) {
                return Error(r.requestId, Status::NoSuchClass,
                             "the class " + r.clsid + " has no interface " + r.iid.substr(0, 64),
                             out);
            }
            if (objects_.size() >= maxObjects_) {
                return Error(r.requestId, Status::TooManyObjects,
                             "this client holds too many objects", out);
            }
            // Ids are not reused within a connection, so a late call never reaches a newer object.
            if (nextId_ == 0) {
                return Error(r.requestId, Status::TooManyObjects, "object ids are used up", out);
            }
            a.type = Action::Type::Create;
            a.objectId = nextId_++;
            a.clsid = r.clsid;
            objects_.insert(a.objectId);
            break;
        }
        case Kind::Call:
            if (!objects_.count(r.objectId)) {
                return Error(r.requestId, Status::NoSuchObject,
                             "the object " + std::to_string(r.objectId) + " does not exist", out);
            }
            a.type = Action::Type::Call;
            a.objectId = r.objectId;
            a.member = r.member;
            a.args = r.args;
            break;
        case Kind::Release:
            // Releasing an unknown object is harmless: it may have failed to construct.
            if (!objects_.erase(r.objectId)) return;
            a.type = Action::Type::Release;
            a.objectId = r.objectId;
            break;
        case Kind::Reply:
            return;  // not produced by DecodeRequest
    }
    out.push_back(std::move(a));
}

}  // namespace platform::frames
