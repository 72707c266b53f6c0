// SPDX-License-Identifier: MIT
#include "worker/adapters.h"

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "contract/CCShareString.h"
#include "platform/objects/frames.h"
#include "worker/ClassArp.h"
#include "worker/ClassEcho.h"
#include "worker/ClassPing.h"

namespace worker {

namespace {

using platform::objects::Arg;
using platform::objects::ObjectError;

// What one getStr may return: the text, with its frame's own fields, must fit in a reply.
constexpr std::int32_t kMaxReadLength =
    static_cast<std::int32_t>(platform::frames::kMaxFrameBody) - 64;

[[noreturn]] void Refuse(const std::string& member, const std::string& why) {
    throw ObjectError(member + ": " + why);
}

void ExpectCount(const std::string& member, const std::vector<Arg>& args, std::size_t least,
                 std::size_t most) {
    if (args.size() < least || args.size() > most)
        Refuse(member, "expects " +
                           (least == most ? std::to_string(least)
                                          : std::to_string(least) + " to " + std::to_string(most)) +
                           " arguments, got " + std::to_string(args.size()));
}

// A 32-bit integer, or a text that spells one (as a Variant is coerced to Long).
std::int32_t IntArg(const std::string& member, const Arg& a, const char* name) {
    if (auto* n = std::get_if<std::int32_t>(&a)) return *n;
    if (auto* s = std::get_if<std::string>(&a)) {
        std::int32_t v = 0;
        const char* first = s->data();
        const char* last = first + s->size();
        auto [end, ec] = std::from_chars(first, last, v);
        if (ec == std::errc() && end == last && first != last) return v;
    }
    Refuse(member, std::string("argument ") + name + " must be a 32-bit integer");
}

const std::string& TextArg(const std::string& member, const Arg& a, const char* name) {
    if (auto* s = std::get_if<std::string>(&a)) return *s;
    Refuse(member, std::string("argument ") + name + " must be a text");
}

class CCShareStringObject : public platform::objects::Object {
  public:
    Arg Invoke(std::uint32_t member, std::vector<Arg>& args) override {
        switch (member) {
            case morvel::CCShareStringMember::Create: {
                const std::string m = "CCShareString.Create";
                ExpectCount(m, args, 1, 2);
                const std::string& name = TextArg(m, args[0], "sName");
                std::int32_t len = 30000;
                if (args.size() == 2 && !std::holds_alternative<std::monostate>(args[1]))
                    len = IntArg(m, args[1], "StrLen");
                return block_.Create(name, len);
            }
            case morvel::CCShareStringMember::getStr: {
                const std::string m = "CCShareString.getStr";
                ExpectCount(m, args, 2, 2);
                const std::int32_t n = IntArg(m, args[0], "n");
                const std::int32_t len = IntArg(m, args[1], "M");
                // Refused before the text is built: a reply cannot carry more, and
                // a few such calls at once must not hold the block's size each.
                // (A read outside the block is LastErr 87, as in-process.)
                const std::int64_t last = std::int64_t{n} + len - 1;
                if (len > kMaxReadLength && last <= INT32_MAX && block_.ByteAddress(n) &&
                    block_.ByteAddress(static_cast<std::int32_t>(last)))
                    Refuse(m, "the reply is too large to send (at most " +
                                  std::to_string(kMaxReadLength) + " characters at a time)");
                return block_.getStr(n, len);
            }
            case morvel::CCShareStringMember::setStr: {
                const std::string m = "CCShareString.setStr";
                ExpectCount(m, args, 2, 2);
                block_.setStr(TextArg(m, args[0], "s"), IntArg(m, args[1], "n"));
                return {};
            }
            case morvel::CCShareStringMember::LastErr:
                ExpectCount("CCShareString.LastErr", args, 0, 0);
                return block_.LastErr();
            default:
                Refuse("CCShareString", "has no member " + std::to_string(member));
        }
    }

  private:
    CCShareString block_;
};

class ClassPingObject : public platform::objects::Object {
  public:
    Arg Invoke(std::uint32_t member, std::vector<Arg>& args) override {
        switch (member) {
            case morvel::ClassPingMember::Create: {
                const std::string m = "ClassPing.Create";
                ExpectCount(m, args, 1, 2);
                try {
                    if (args.size() == 2 && !std::holds_alternative<std::monostate>(args[1]))
                        worker_.Create(IntArg(m, args[0], "ID"), IntArg(m, args[1], "timeoutMs"));
                    else
                        worker_.Create(IntArg(m, args[0], "ID"));
                } catch (const std::out_of_range& e) {
                    throw ObjectError(e.what());
                }
                return {};
            }
            case morvel::ClassPingMember::StopIt:
                ExpectCount("ClassPing.StopIt", args, 0, 0);
                worker_.StopIt();
                return {};
            default:
                Refuse("ClassPing", "has no member " + std::to_string(member));
        }
    }

  private:
    ClassPing worker_;
};

class ClassEchoObject : public platform::objects::Object {
  public:
    Arg Invoke(std::uint32_t member, std::vector<Arg>& args) override {
        if (member == morvel::ClassEchoMember::IcmpProblem) {
            ExpectCount("ClassEcho.IcmpProblem", args, 0, 0);
            return echo_.IcmpProblem();
        }
        if (member != morvel::ClassEchoMember::SendEcho)
            Refuse("ClassEcho", "has no member " + std::to_string(member));
        const std::string m = "ClassEcho.SendEcho";
        ExpectCount(m, args, 3, 3);
        const auto destination = static_cast<std::uint32_t>(IntArg(m, args[0], "destination"));
        const std::string& data = TextArg(m, args[1], "data");
        const std::int32_t timeoutMs = IntArg(m, args[2], "timeoutMs");
        try {
            return echo_.SendEcho(destination, data, timeoutMs);
        } catch (const std::invalid_argument& e) {
            throw ObjectError(e.what());
        }
    }

  private:
    ClassEcho echo_;
};

class ClassArpObject : public platform::objects::Object {
  public:
    Arg Invoke(std::uint32_t member, std::vector<Arg>& args) override {
        switch (member) {
            case morvel::ClassArpMember::Probe: {
                const std::string m = "ClassArp.Probe";
                ExpectCount(m, args, 1, 1);
                try {
                    return arp_.Probe(IntArg(m, args[0], "subnet"));
                } catch (const std::invalid_argument& e) {
                    throw ObjectError(e.what());
                }
            }
            case morvel::ClassArpMember::Replies:
                ExpectCount("ClassArp.Replies", args, 0, 0);
                return arp_.Replies();
            default:
                Refuse("ClassArp", "has no member " + std::to_string(member));
        }
    }

  private:
    ClassArp arp_;
};

}  // namespace

std::unique_ptr<platform::objects::Object> NewCCShareStringObject() {
    return std::make_unique<CCShareStringObject>();
}

std::unique_ptr<platform::objects::Object> NewClassPingObject() {
    return std::make_unique<ClassPingObject>();
}

std::unique_ptr<platform::objects::Object> NewClassEchoObject() {
    return std::make_unique<ClassEchoObject>();
}

std::unique_ptr<platform::objects::Object> NewClassArpObject() {
    return std::make_unique<ClassArpObject>();
}

std::vector<platform::objects::ClassInfo> Classes() {
    return {
        {morvel::kCCShareStringClsid, morvel::kCCShareStringIid, &NewCCShareStringObject},
        {morvel::kClassPingClsid, morvel::kClassPingIid, &NewClassPingObject},
        {morvel::kClassEchoClsid, morvel::kClassEchoIid, &NewClassEchoObject},
        {morvel::kClassArpClsid, morvel::kClassArpIid, &NewClassArpObject},
    };
}

}  // namespace worker
