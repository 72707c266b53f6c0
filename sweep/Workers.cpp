// SPDX-License-Identifier: MIT
#include "sweep/Workers.h"

#include <exception>
#include <utility>

#include "contract/classes.h"
#include "platform/objects/objects.h"
#include "platform/process/process.h"
#include "platform/process/session.h"
#include "sweep/Sweep.h"

namespace sweep {

bool MakePings(std::vector<std::unique_ptr<Ping>>& fresh, int& failedHost, std::string& failure,
               std::int32_t echoTimeoutMs) {
    fresh.clear();
    fresh.resize(Sweep::kHosts + 1);
    int i = 1;
    try {
        for (; i <= Sweep::kHosts; ++i) {
            auto p = std::make_unique<Ping>();
            p->SetEchoTimeout(echoTimeoutMs);
            p->SetID(i);
            p->color = kColorIdle;
            fresh[static_cast<std::size_t>(i)] = std::move(p);
        }
    } catch (const std::exception& e) {
        failedHost = i;
        failure = e.what();
        fresh.clear();
        return false;
    }
    return true;
}

WorkerStart StartWorkers(std::chrono::milliseconds registrationWait, std::int32_t echoTimeoutMs) {
    WorkerStart w;
    w.morvel = platform::CompanionProgram("Morvel");
    platform::StartedProgram reg = platform::StartProgram(w.morvel, {"/regsver"});
    if (!reg.ok()) {
        w.startError = reg.error;
        return w;
    }
    w.regCode = platform::WaitProgram(reg.pid, registrationWait);
    if (!w.regCode) platform::DetachProgram(reg.pid);
    MakePings(w.pings, w.failedHost, w.failure, echoTimeoutMs);
    return w;
}

std::string EchoProblem() {
    auto echo = platform::objects::CreateObject(morvel::kClassEchoClsid, morvel::kClassEchoIid);
    std::vector<platform::objects::Arg> none;
    const auto answer =
        echo->Call(morvel::ClassEchoMember::IcmpProblem, none, std::chrono::milliseconds(1000));
    const auto* text = std::get_if<std::string>(&answer);
    if (!text) throw platform::objects::ObjectError("Morvel sent a malformed answer");
    return *text;
}

}  // namespace sweep
