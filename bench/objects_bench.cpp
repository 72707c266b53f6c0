// SPDX-License-Identifier: MIT
// Cost of objects across processes in the sweep's patterns: one call's round
// trip, a poll of 255 one-byte reads on 255 objects (every 50 ms during a
// sweep), creating the window's 510 objects, and the server's size with them.
// Needs the test server program (objects_test_server) beside this one.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/objects/objects.h"
#include "platform/threads/shared_block.h"
#include "tests/platform/objects/objects_test_classes.h"
#include "tests/support/children.h"
#include "tests/support/isolation.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::objects::Arg;
using platform::objects::Ref;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

std::string StatusField(int pid, const std::string& key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    return "?";
}

}  // namespace

int main() {
    testsupport::IsolateProcess();  // a private session: our own server, our own records
    std::string server = testsupport::BuildBinDir() + "/objects_test_server";
    if (!std::filesystem::exists(server)) {
        std::fprintf(stderr, "objects bench: %s is missing; build the target objects_test_server\n",
                     server.c_str());
        return 1;
    }
    if (testsupport::Run(server, {"/regsver"}) != 0) {
        std::fprintf(stderr, "objects bench: registration failed\n");
        return 1;
    }

    try {
        // The window's start-up: 510 objects, the first of them starting the server.
        std::vector<std::unique_ptr<Ref>> objects;
        auto t0 = Clock::now();
        double first = 0;
        for (int i = 0; i < 510; ++i) {
            objects.push_back(
                platform::objects::CreateObject(testclasses::kProbeClsid, testclasses::kProbeIid));
            if (i == 0) first = Ms(Clock::now() - t0);
        }
        double create = Ms(Clock::now() - t0);
        int pid = std::get<std::int32_t>(objects[0]->Call(testclasses::kPid));

        std::vector<double> trips;
        for (int i = 0; i < 3000; ++i) {
            auto s = Clock::now();
            objects[0]->Call(testclasses::kRead1);
            trips.push_back(Ms(Clock::now() - s) * 1000.0);
        }

        std::vector<double> polls;
        for (int round = 0; round < 200; ++round) {
            auto s = Clock::now();
            for (int i = 0; i < 255; ++i) objects[2 * i + 1]->Call(testclasses::kRead1);
            polls.push_back(Ms(Clock::now() - s));
        }

        std::printf(
            "objects: create 510 objects: %.1f ms (the first, starting the server: %.1f ms)\n",
            create, first);
        std::printf("objects: one call, round trip: median %.1f us, p99 %.1f us\n", Median(trips),
                    Percentile(trips, 0.99));
        std::printf("objects: poll of 255 calls on 255 objects: median %.2f ms, p99 %.2f ms\n",
                    Median(polls), Percentile(polls, 0.99));
        std::printf("objects: server with 510 objects: RSS%s, threads %s\n",
                    StatusField(pid, "VmRSS").c_str(), StatusField(pid, "Threads").c_str());

        // The same poll when the reference is marshalled by value: the client
        // reads its own view of each block.
        std::vector<std::unique_ptr<platform::FileMapping>> blocks;
        std::vector<const volatile unsigned char*> views;
        for (int i = 1; i <= 255; ++i) {
            std::uint32_t err = 0;
            auto m = platform::FileMapping::Create("BenchIP" + std::to_string(i), 1000, err);
            if (!m) throw std::runtime_error("cannot open a block: " + std::to_string(err));
            views.push_back(m->MapView(err));
            blocks.push_back(std::move(m));
        }
        std::vector<double> local;
        unsigned sum = 0;
        for (int round = 0; round < 200; ++round) {
            auto s = Clock::now();
            for (auto* v : views) sum += v[0];
            local.push_back(Ms(Clock::now() - s));
        }
        std::printf("objects: the same poll on the client's own views: median %.4f ms (%u)\n",
                    Median(local), sum);

        auto r0 = Clock::now();
        objects.clear();
        std::printf("objects: release 510 objects: %.1f ms\n", Ms(Clock::now() - r0));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "objects bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
