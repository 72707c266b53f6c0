// SPDX-License-Identifier: MIT
// The Windows error codes the stand-ins report, named once: a failure that a
// Windows program would see as GetLastError or a function's result is one of
// these, never an errno value.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidData = 13;  // also: an object used without its view
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorBadNetName = 67;  // no complete neighbour entry
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;

}  // namespace platform
