// SPDX-License-Identifier: MIT
#include "worker/MdTimer.h"

#include "worker/Timer.h"

namespace worker {

std::unordered_map<std::string, Timer*>& TimerRegistry() {
    thread_local std::unordered_map<std::string, Timer*> registry;
    return registry;
}

// Short enough for the string's inline buffer: a tick allocates nothing.
std::string Key(std::uintptr_t id) { return "ID:" + std::to_string(id); }

void TimerProc(void*, unsigned int, std::uintptr_t idEvent, std::uint32_t) {
    auto& registry = TimerRegistry();
    auto it = registry.find(Key(idEvent));
    if (it == registry.end()) return;
    it->second->RaiseTimer();
}

}  // namespace worker
