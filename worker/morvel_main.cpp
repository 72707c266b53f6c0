// SPDX-License-Identifier: MIT
// Morvel: the windowless worker host. It has three ways to be started:
//   Morvel /regsver    writes the records of its classes, naming this
//                      executable, and exits (Tessor does this at start-up);
//   Morvel -Embedding  serves objects until the last one is released (the
//                      object layer starts it so when a client creates one);
//   anything else      says so on standard error and exits non-zero.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <string_view>

#include "platform/objects/objects.h"
#include "platform/process/process.h"
#include "platform/process/session.h"
#include "platform/threads/shared_block.h"
#include "worker/adapters.h"

int main(int argc, char** argv) {
    // A closed stderr would be taken by the first socket, and a log line would
    // then land in a client's connection.
    if (!platform::OpenStandardStreams()) return 1;
    // Slot text is converted through the locale's character set.
    std::setlocale(LC_ALL, "");
    // A log line written to a closed pipe (a terminal that went away) must
    // fail that write, not end the server and every sweep with it.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string_view arg = argc == 2 ? argv[1] : "";
    if (arg == "/regsver") {
        return platform::objects::RegisterServer(worker::Classes(),
                                                 platform::ProgramDir() + "/Morvel")
                   ? 0
                   : 1;
    }
    if (arg == "-Embedding") {
        // Two windows' slots and their echoes need more descriptors than a
        // desktop's soft limit of 1024.
        platform::RaiseDescriptorLimit();
        // Blocks whose holders crashed stay on tmpfs until someone removes
        // them; only the server that won the start does it, before any client
        // opens a block.
        return platform::objects::RunServer(worker::Classes(),
                                            [] { platform::FileMapping::RemoveStaleBlocks(); });
    }
    std::fputs(
        "Morvel has no window: Tessor starts it with /regsver to register its classes, and the "
        "object layer starts it with -Embedding to serve them.\n",
        stderr);
    return 2;
}
