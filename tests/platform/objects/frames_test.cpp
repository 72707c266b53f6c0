// SPDX-License-Identifier: MIT
#include "platform/objects/frames.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace platform::frames;
using platform::objects::Arg;
using namespace std::string_literals;

std::string Body(const std::string& frame) { return frame.substr(4); }

std::string Le32(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return s;
}

std::string Framed(const std::string& body) {
    return Le32(static_cast<std::uint32_t>(body.size())) + body;
}

TEST(FrameEncodingTest, ACallIsLaidOutByteForByte) {
    Request r;
    r.kind = Kind::Call;
    r.requestId = 0x01020304;
    r.objectId = 7;
    r.member = 2;
    r.args = {std::monostate{}, true, std::int32_t{-2}, "ab"s};
    std::string expected =
        "\x1d\0\0\0"            // 29 bytes follow
        "\x02"                  // call
        "\x04\x03\x02\x01"      // request id
        "\x07\0\0\0"            // object 7
        "\x02\0\0\0"            // member 2
        "\x04"                  // four values
        "\x00"                  // empty
        "\x01\x01"              // true
        "\x02\xfe\xff\xff\xff"  // -2
        "\x03\x02\0\0\0ab"s;    // "ab"
    EXPECT_EQ(EncodeRequest(r), expected);
}

TEST(FrameEncodingTest, RepliesAndRequestsSurviveARoundTrip) {
    Reply rep;
    rep.requestId = 99;
    rep.status = Status::Failed;
    rep.message = "asked to fail";
    rep.result = "with\0zero and \xe4\xb8\xad"s;
    rep.args = {false, std::int32_t{INT32_MIN}, ""s};
    std::string frame = EncodeReply(rep);
    Reply back;
    std::string why;
    ASSERT_TRUE(DecodeReply(Body(frame), back, why)) << why;
    EXPECT_EQ(back.requestId, 99u);
    EXPECT_EQ(back.status, Status::Failed);
    EXPECT_EQ(back.message, "asked to fail");
    EXPECT_EQ(back.result, rep.result);
    EXPECT_EQ(back.args, rep.args);

    Request c;
    c.kind = Kind::Create;
    c.requestId = 1;
    c.clsid = "{A}";
    c.iid = "{B}";
    Request cb;
    ASSERT_TRUE(DecodeRequest(Body(EncodeRequest(c)), cb, why)) << why;
    EXPECT_EQ(cb.kind, Kind::Create);
    EXPECT_EQ(cb.clsid, "{A}");
    EXPECT_EQ(cb.iid, "{B}");

    Request rel;
    rel.kind = Kind::Release;
    rel.objectId = 12;
    Request relb;
    ASSERT_TRUE(DecodeRequest(Body(EncodeRequest(rel)), relb, why)) << why;
    EXPECT_EQ(relb.kind, Kind::Release);
    EXPECT_EQ(relb.objectId, 12u);
}

TEST(FrameEncodingTest, EncodingRefusesWhatTheReaderWouldRefuse) {
    Request r;
    r.kind = Kind::Call;
    r.args.assign(kMaxArgs + 1, std::int32_t{1});
    EXPECT_TRUE(EncodeRequest(r).empty());
    r.args = {std::string(kMaxFrameBody, 'x')};
    EXPECT_TRUE(EncodeRequest(r).empty());
    Reply rep;
    rep.result = std::string(kMaxFrameBody, 'x');
    EXPECT_TRUE(EncodeReply(rep).empty());
}

TEST(FrameDecodingTest, EveryTruncationAndTrailingByteIsRefused) {
    Request r;
    r.kind = Kind::Call;
    r.requestId = 5;
    r.objectId = 1;
    r.member = 3;
    r.args = {true, std::int32_t{4}, "text"s};
    std::string body = Body(EncodeRequest(r));
    Request out;
    std::string why;
    const std::string cut = "the frame ends inside a field";
    const std::string trailing = "bytes follow the frame's body";
    for (std::size_t n = 0; n < body.size(); ++n) {
        why.clear();
        EXPECT_FALSE(DecodeRequest(body.substr(0, n), out, why)) << "cut at " << n;
        EXPECT_EQ(why, cut) << "cut at " << n;
    }
    EXPECT_FALSE(DecodeRequest(body + "x", out, why));
    EXPECT_EQ(why, trailing);
    EXPECT_TRUE(DecodeRequest(body, out, why));

    Reply rep;
    rep.message = "m";
    rep.result = std::int32_t{3};
    std::string rbody = Body(EncodeReply(rep));
    Reply rout;
    for (std::size_t n = 0; n < rbody.size(); ++n) {
        why.clear();
        EXPECT_FALSE(DecodeReply(rbody.substr(0, n), rout, why)) << "cut at " << n;
        EXPECT_EQ(why, cut) << "cut at " << n;
    }
    EXPECT_FALSE(DecodeReply(rbody + "\0"s, rout, why));
    EXPECT_EQ(why, trailing);
}

TEST(FrameDecodingTest, BadFieldsAreRefused) {
    Request out;
    Reply rout;
    std::string why;
    // Unknown kind, and a reply sent as a request.
    EXPECT_FALSE(DecodeRequest("\x09\1\0\0\0"s, out, why));
    EXPECT_FALSE(DecodeRequest("\x04\1\0\0\0\0\0\0\0\0\0\0"s, out, why));
    // Call with an unknown value type, and a boolean of 2.
    std::string call = "\x02\1\0\0\0\1\0\0\0\1\0\0\0\x01"s;
    EXPECT_FALSE(DecodeRequest(call + "\x07"s, out, why));
    EXPECT_FALSE(DecodeRequest(call + "\x01\x02"s, out, why));
    EXPECT_TRUE(DecodeRequest(call + "\x01\x01"s, out, why)) << why;
    // More values than allowed, even when they would all be there.
    std::string many = "\x02\1\0\0\0\1\0\0\0\1\0\0\0"s + static_cast<char>(kMaxArgs + 1) +
                       std::string(kMaxArgs + 1, '\0');
    EXPECT_FALSE(DecodeRequest(many, out, why));
    // A text claiming 4 GiB in a short body: refused, not allocated.
    EXPECT_FALSE(DecodeRequest("\x01\1\0\0\0\xf0\xff\xff\xff"s + "ab", out, why));
    // A reply with an unknown status.
    EXPECT_FALSE(DecodeReply("\x04\1\0\0\0\x09\0\0\0\0\0\0"s, rout, why));
    EXPECT_TRUE(DecodeReply("\x04\1\0\0\0\x00\0\0\0\0\0\0"s, rout, why)) << why;
}

TEST(FrameReaderTest, CutsAStreamIntoBodiesWhateverTheChunks) {
    Request r;
    r.kind = Kind::Release;
    r.objectId = 3;
    std::string one = EncodeRequest(r);
    std::string stream = one + one + one;
    FrameReader reader;
    std::string body;
    int frames = 0;
    for (char c : stream) {
        reader.Feed(&c, 1);
        while (reader.Pop(body) == FrameReader::Next::Frame) {
            EXPECT_EQ(body, Body(one));
            ++frames;
        }
    }
    EXPECT_EQ(frames, 3);
    EXPECT_FALSE(reader.Partial());
    reader.Feed(one.data(), 6);
    EXPECT_EQ(reader.Pop(body), FrameReader::Next::NeedMore);
    EXPECT_TRUE(reader.Partial());
}

TEST(FrameReaderTest, ZeroAndOversizedLengthsAreRefusedFromTheHeaderAlone) {
    for (std::uint32_t n : {0u, static_cast<std::uint32_t>(kMaxFrameBody + 1), 0xffffffffu}) {
        FrameReader reader;
        std::string header = Le32(n);
        reader.Feed(header.data(), header.size());
        std::string body;
        EXPECT_EQ(reader.Pop(body), FrameReader::Next::Bad) << n;
    }
    FrameReader reader;
    std::string body(kMaxFrameBody, 'x');
    std::string max = Framed(body);
    reader.Feed(max.data(), max.size());
    std::string out;
    EXPECT_EQ(reader.Pop(out), FrameReader::Next::Frame);
    EXPECT_EQ(out.size(), kMaxFrameBody);
}

class DispatcherTest : public ::testing::Test {
  protected:
    Dispatcher d{{{"{C}", "{I}"}}, 3};
    std::vector<Action> out;

    void Send(const Request& r) {
        std::string f = EncodeRequest(r);
        d.Receive(f.data(), f.size(), out);
    }
    void Create(std::uint32_t req, std::string clsid = "{C}", std::string iid = "{I}") {
        Request r;
        r.kind = Kind::Create;
        r.requestId = req;
        r.clsid = std::move(clsid);
        r.iid = std::move(iid);
        Send(r);
    }
    void Call(std::uint32_t req, std::uint32_t obj) {
        Request r;
        r.kind = Kind::Call;
        r.requestId = req;
        r.objectId = obj;
        r.member = 4;
        r.args = {"x"s};
        Send(r);
    }
    void Release(std::uint32_t obj) {
        Request r;
        r.kind = Kind::Release;
        r.objectId = obj;
        Send(r);
    }
    Status SentStatus(const Action& a) {
        Reply rep;
        std::string why;
        EXPECT_EQ(a.type, Action::Type::Send);
        EXPECT_TRUE(DecodeReply(Body(a.frame), rep, why)) << why;
        EXPECT_EQ(rep.requestId, a.requestId);
        return rep.status;
    }
};

TEST_F(DispatcherTest, CreatesCallsAndReleasesOnlyTheConnectionsOwnObjects) {
    Create(10);
    Create(11);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].type, Action::Type::Create);
    EXPECT_EQ(out[0].objectId, 1u);
    EXPECT_EQ(out[0].requestId, 10u);
    EXPECT_EQ(out[1].objectId, 2u);

    out.clear();
    Call(12, 2);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, Action::Type::Call);
    EXPECT_EQ(out[0].member, 4u);
    EXPECT_EQ(out[0].args, std::vector<Arg>{"x"s});

    out.clear();
    Call(13, 9);  // never created
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(SentStatus(out[0]), Status::NoSuchObject);

    out.clear();
    Release(2);
    Release(2);  // twice, and an unknown one: harmless
    Release(77);
    Call(14, 2);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].type, Action::Type::Release);
    EXPECT_EQ(SentStatus(out[1]), Status::NoSuchObject);

    // A failed construction makes its id unknown; ids are never reused.
    out.clear();
    d.Forget(1);
    Call(15, 1);
    Create(16);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(SentStatus(out[0]), Status::NoSuchObject);
    EXPECT_EQ(out[1].objectId, 3u);
    EXPECT_FALSE(d.Closed());
}

TEST_F(DispatcherTest, UnknownClassesWrongInterfacesAndTooManyObjectsGetErrors) {
    Create(1, "{X}");
    Create(2, "{C}", "{J}");
    Create(3);
    Create(4);
    Create(5);
    Create(6);  // over the limit of 3
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(SentStatus(out[0]), Status::NoSuchClass);
    EXPECT_EQ(SentStatus(out[1]), Status::NoSuchClass);
    EXPECT_EQ(out[4].type, Action::Type::Create);
    EXPECT_EQ(SentStatus(out[5]), Status::TooManyObjects);
    EXPECT_FALSE(d.Closed());
}

TEST_F(DispatcherTest, AMalformedFrameClosesAndNothingAfterItIsHandled) {
    Create(1);
    std::string garbage = "\x05\0\0\0\x09\0\0\0\0"s;  // unknown kind
    Request next;
    next.kind = Kind::Create;
    next.clsid = "{C}";
    next.iid = "{I}";
    std::string bytes = garbage + EncodeRequest(next);
    d.Receive(bytes.data(), bytes.size(), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].type, Action::Type::Close);
    EXPECT_FALSE(out[1].why.empty());
    EXPECT_TRUE(d.Closed());
    out.clear();
    Create(3);
    EXPECT_TRUE(out.empty());

    // A reply sent by a client, and an oversized length, close as well.
    for (const std::string& bad :
         {EncodeReply(Reply{}), Le32(static_cast<std::uint32_t>(kMaxFrameBody + 1))}) {
        Dispatcher fresh(std::map<std::string, std::string>{{"{C}", "{I}"}});
        std::vector<Action> acts;
        fresh.Receive(bad.data(), bad.size(), acts);
        ASSERT_EQ(acts.size(), 1u);
        EXPECT_EQ(acts[0].type, Action::Type::Close);
    }
}

TEST_F(DispatcherTest, AHalfFrameIsReportedAsPartial) {
    std::string f = "\x20\0\0\0\x02"s;
    d.Receive(f.data(), f.size(), out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(d.Partial());
    EXPECT_FALSE(d.Closed());
}

}  // namespace
