// SPDX-License-Identifier: MIT
// A small object server for the object layer's tests and benchmark, and a
// client mode that holds objects until it is killed.
//   objects_test_server /regsver     register the classes naming this program
//   objects_test_server -Embedding   serve them
//   objects_test_server --client N   create N objects, print "ready <server pid>", wait
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/objects/objects.h"
#include "tests/platform/objects/objects_test_classes.h"

namespace {

using platform::objects::Arg;
using platform::objects::ObjectError;

std::atomic<int> liveObjects{0};

class Probe : public platform::objects::Object {
  public:
    Probe() { ++liveObjects; }
    ~Probe() override { --liveObjects; }

    Arg Invoke(std::uint32_t member, std::vector<Arg>& args) override {
        using namespace testclasses;
        switch (member) {
            case kEcho:
                return args.empty() ? Arg{} : args[0];
            case kSleep:
                std::this_thread::sleep_for(std::chrono::milliseconds(std::get<std::int32_t>(
                    args.at(0))));  // a wrong type throws, which the caller sees
                return true;
            case kTwice:
                args.at(0) = std::get<std::int32_t>(args.at(0)) * 2;
                return true;
            case kFail:
                throw ObjectError("asked to fail");
            case kPid:
                return static_cast<std::int32_t>(::getpid());
            case kLive:
                return liveObjects.load();
            case kThread:
                return static_cast<std::int32_t>(
                    std::hash<std::thread::id>{}(std::this_thread::get_id()) & 0x7fffffff);
            case kRead1:
                return std::string(1, 'P');
            default:
                throw ObjectError("no member " + std::to_string(member));
        }
    }
};

std::vector<platform::objects::ClassInfo> Classes() {
    return {
        {testclasses::kProbeClsid, testclasses::kProbeIid,
         [] { return std::make_unique<Probe>(); }},
        {testclasses::kBrokenClsid, testclasses::kBrokenIid,
         []() -> std::unique_ptr<platform::objects::Object> {
             throw ObjectError("this class cannot be made");
         }},
    };
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "/regsver") {
        auto self = std::filesystem::read_symlink("/proc/self/exe").string();
        return platform::objects::RegisterServer(Classes(), self) ? 0 : 1;
    }
    if (mode == "-Embedding") return platform::objects::RunServer(Classes());
    if (mode == "--client" && argc > 2) {
        try {
            std::vector<std::unique_ptr<platform::objects::Ref>> held;
            for (int i = 0; i < std::atoi(argv[2]); ++i)
                held.push_back(platform::objects::CreateObject(testclasses::kProbeClsid,
                                                               testclasses::kProbeIid));
            auto pid = std::get<std::int32_t>(held.at(0)->Call(testclasses::kPid));
            std::printf("ready %d\n", pid);
            std::fflush(stdout);
            for (;;) ::pause();
        } catch (const std::exception& e) {
            std::printf("error %s\n", e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "usage: %s /regsver | -Embedding | --client N\n", argv[0]);
    return 2;
}
