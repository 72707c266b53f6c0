// SPDX-License-Identifier: MIT
// Morvel's creatable classes as served objects: the adapters that turn a
// call's typed arguments into calls on CCShareString, ClassPing, ClassEcho and
// ClassArp. A call with the wrong number or kind of arguments is refused with
// ObjectError; it never reaches the class.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "contract/classes.h"
#include "platform/objects/objects.h"

namespace worker {

std::unique_ptr<platform::objects::Object> NewCCShareStringObject();
std::unique_ptr<platform::objects::Object> NewClassPingObject();
std::unique_ptr<platform::objects::Object> NewClassEchoObject();
std::unique_ptr<platform::objects::Object> NewClassArpObject();

// All classes, for registration and serving.
std::vector<platform::objects::ClassInfo> Classes();

}  // namespace worker
