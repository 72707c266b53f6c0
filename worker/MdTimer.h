// SPDX-License-Identifier: MIT
// The callback of every Timer's thread timer and the registry through which
// it finds the Timer a tick belongs to.
//
// The registry is per apartment (thread_local): a callback only ever runs on
// the thread that started its timer, so it only needs that thread's timers.
// It holds plain addresses: it never keeps a Timer alive, and a Timer removes
// its key when it stops, so an address found here always names a live object.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace worker {

class Timer;

// "ID:" followed by the timer id in decimal -> the Timer that runs it. The
// calling apartment's registry, created on first use.
std::unordered_map<std::string, Timer*>& TimerRegistry();

// The registry key of a timer id.
std::string Key(std::uintptr_t id);

// The thread timers' callback: raises the event of the Timer registered under
// the tick's id; an id without a Timer is ignored.
void TimerProc(void* hwnd, unsigned int msg, std::uintptr_t idEvent, std::uint32_t time);

}  // namespace worker
