// SPDX-License-Identifier: MIT
// The registration records: one small file per class in the user's data
// folder, named by its class identifier, saying which program serves the
// class. RegisterServer (objects.h) writes them; activation reads them.
#pragma once

#include <optional>
#include <string>

namespace platform::objects::detail {

// "{D5794A3B-706E-44D1-B775-8AFE31BF08DC}": also the record's file name, so
// nothing else may pass.
bool IsClassId(const std::string& s);

struct Record {
    std::string executable;
    std::string iid;
};

// The record of `clsid`, nothing when there is none (yet). A record that is
// not the user's own or that others may change could start any program, so it
// is refused with ObjectError, as is a damaged one.
std::optional<Record> ReadRecord(const std::string& clsid);

}  // namespace platform::objects::detail
