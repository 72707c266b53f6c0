// SPDX-License-Identifier: MIT
// The classes of the test object server (objects_test_server.cpp), shared with the
// tests and the benchmark that call them.
#pragma once

#include <cstdint>

namespace testclasses {

inline constexpr const char* kProbeClsid = "{6A1D2C3E-0B4F-4E5A-9C7D-1E2F3A4B5C6D}";
inline constexpr const char* kProbeIid = "{7B2E3D4F-1C5A-4F6B-8D7E-2F3A4B5C6D7E}";
// A class whose constructor always fails.
inline constexpr const char* kBrokenClsid = "{8C3F4E5A-2D6B-4A7C-9E8F-3A4B5C6D7E8F}";
inline constexpr const char* kBrokenIid = "{9D4A5F6B-3E7C-4B8D-AF9A-4B5C6D7E8F9A}";

enum Member : std::uint32_t {
    kEcho = 1,    // returns its first argument
    kSleep = 2,   // (int32 ms) blocks its object
    kTwice = 3,   // (in/out int32) doubles it in place
    kFail = 4,    // throws ObjectError("asked to fail")
    kPid = 5,     // the server's process id
    kLive = 6,    // how many probe objects the server holds
    kThread = 7,  // a hash of the thread the call runs on
    kRead1 = 8,   // a 1-character text, like a slot's state read
};

}  // namespace testclasses
