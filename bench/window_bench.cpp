// SPDX-License-Identifier: MIT
// The main window's costs, side by side in one run:
//  - start-up: from process start to the window shown with all 255 proxies
//    ready, median of 5 starts, each with no Morvel running before;
//  - one full paint of FG1 (all 255 cells), median of 200;
//  - one sweep round from DoPing to the round's completion, on 127.0.0 and on
//    the test LAN (40 answering, 215 silent), median of 10, with fping, nmap
//    and arp-scan on the same LAN where installed (their output to /dev/null);
//  - DoPing with a Ps.ini of 20 000 remarks;
//  - the window thread's time per poll of Timer1 during test-LAN sweeps.
// Run it through scripts/bench.sh (a private network namespace): the sweeps
// only ever address 127.0.0 and the test LAN 192.0.2.
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet.h"
#include "platform/process/process.h"
#include "scanner/Fmmain.h"
#include "settings/ini.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"
#include "windows/language.h"

using Clock = std::chrono::steady_clock;
using bench::Median;

namespace {

using namespace sweep;
using namespace scanner;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// The child of a start-up run: a fresh process that loads and shows the
// window, prints the monotonic time at which it is on screen, and closes it.
int StartupChild(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    windows::InstallTranslation(std::getenv);
    Fmmain w;
    const std::int64_t appReady = MonotonicNs();
    if (!w.Form_Load()) return 2;
    const std::int64_t loaded = MonotonicNs();
    w.show();
    while (!(w.windowHandle() && w.windowHandle()->isExposed()))
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    QApplication::processEvents();
    std::printf("%lld %lld %lld\n", static_cast<long long>(MonotonicNs()),
                static_cast<long long>(appReady), static_cast<long long>(loaded));
    std::fflush(stdout);
    w.close();
    return 0;
}

void BenchStartup(const char* self) {
    std::vector<double> times, appTimes, loadTimes;
    for (int run = 0; run < 5; ++run) {
        if (!testsupport::WaitFor([] { return testsupport::OwnMorvels().empty(); },
                                  std::chrono::seconds(30))) {
            std::printf("start-up: a Morvel is still running, skipped\n");
            return;
        }
        int out[2];
        if (pipe(out) != 0) return;
        const std::int64_t start = MonotonicNs();
        pid_t pid = testsupport::Fork([&] {
            dup2(out[1], 1);
            close(out[0]);
            execl(self, self, "--startup-child", static_cast<char*>(nullptr));
            return 127;
        });
        close(out[1]);
        char buf[64] = {};
        ssize_t n = pid > 0 ? read(out[0], buf, sizeof buf - 1) : 0;
        close(out[0]);
        const int status = pid > 0 ? testsupport::Wait(pid).value_or(-1) : -1;
        if (n <= 0 || status != 0) {
            std::printf("start-up run %d failed (exit %d)\n", run, status);
            return;
        }
        long long shown = 0, appReady = 0, loaded = 0;
        std::sscanf(buf, "%lld %lld %lld", &shown, &appReady, &loaded);
        times.push_back((shown - start) / 1e6);
        appTimes.push_back((appReady - start) / 1e6);
        loadTimes.push_back((loaded - appReady) / 1e6);
    }
    std::printf("start-up to window shown with 255 proxies: median %.1f ms (runs:", Median(times));
    for (double t : times) std::printf(" %.0f", t);
    std::printf(")  target < 1000 ms\n");
    std::printf("  (process start to window created %.0f ms, Form_Load %.0f ms, medians)\n",
                Median(appTimes), Median(loadTimes));
}

void BenchPaint() {
    Fmmain w;
    std::vector<std::unique_ptr<Ping>> pings(256);
    for (int i = 1; i <= 255; ++i) {
        pings[i] = std::make_unique<Ping>();
        pings[i]->color = (i % 3 == 0) ? kColorGreen : (i % 3 == 1 ? kColorRed : kColorIdle);
    }
    w.engine().SetPings(std::move(pings));
    QImage img(w.ui().FG1->size(), QImage::Format_RGB32);
    std::vector<double> cells, whole;
    for (int k = 0; k < 200; ++k) {
        QPainter p(&img);
        auto t0 = Clock::now();
        w.PaintFG1(p);
        cells.push_back(Ms(Clock::now() - t0));
    }
    for (int k = 0; k < 200; ++k) {
        auto t0 = Clock::now();
        w.ui().FG1->render(&img);  // background and paint event, as a repaint does
        whole.push_back(Ms(Clock::now() - t0));
    }
    std::printf(
        "FG1 full paint: cells %.2f ms, widget render %.2f ms (median of 200)  target < 5 ms\n",
        Median(cells), Median(whole));
}

struct SweepFigures {
    double round = 0;
    std::vector<double> pollWall, pollCpu;
    int green = 0;
};

void SetSubnet(Fmmain& w, const char* a, const char* b, const char* c) {
    w.ui().Text1[0]->setText(a);
    w.ui().Text1[1]->setText(b);
    w.ui().Text1[2]->setText(c);
}

// One-round sweeps on the real timer, median of 10, from DoPing to completion.
double RoundMedian(Fmmain& w) {
    std::vector<double> times;
    w.ui().Text2->setText("1");
    std::vector<double> issue, final;
    for (int k = 0; k < 10; ++k) {
        auto t0 = Clock::now();
        w.DoPing();
        issue.push_back(Ms(Clock::now() - t0));
        bool allFinal = false;
        while (w.Sweeping()) {
            QApplication::processEvents(QEventLoop::AllEvents, 1);
            if (!allFinal) {
                allFinal = true;
                for (int i = 1; i <= 255 && allFinal; ++i) {
                    int s = w.engine().Host(i).GetPing();
                    allFinal = s == 3 || s == 4 || s == 2;
                }
                if (allFinal) final.push_back(Ms(Clock::now() - t0));
            }
        }
        times.push_back(Ms(Clock::now() - t0));
    }
    std::printf("  (DoPing itself %.1f ms, every slot final after %.1f ms)\n", Median(issue),
                Median(final));
    return Median(times);
}

// Polls driven by hand every 50 ms, each timed on the window thread.
void PollTimes(Fmmain& w, std::vector<double>& wall, std::vector<double>& cpu) {
    w.ui().Text2->setText("3");
    w.DoPing();
    w.ui().Timer1->stop();
    while (!w.ui().Command1->isEnabled()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        double c0 = ThreadCpuMs();
        auto t0 = Clock::now();
        w.Timer1_Timer();
        wall.push_back(Ms(Clock::now() - t0));
        cpu.push_back(ThreadCpuMs() - c0);
        w.ui().Timer1->stop();
    }
}

int Green(const Fmmain& w) {
    int n = 0;
    for (int i = 1; i <= 255; ++i) n += w.engine().Host(i).color == Value(kColorGreen);
    return n;
}

// Median of 5 runs of a peer tool, in ms; 0 when it is not installed.
double Tool(const char* label, const char* name, std::vector<std::string> args) {
    std::string path = bench::FindTool(name);
    if (path.empty()) {
        std::printf("  %-34s not installed\n", label);
        return 0;
    }
    std::vector<double> times;
    for (int k = 0; k < 5; ++k) {
        auto t0 = Clock::now();
        if (bench::RunQuiet(path, args) < 0) break;
        times.push_back(Ms(Clock::now() - t0));
    }
    std::printf("  %-34s %.0f ms (median of %zu)\n", label, Median(times), times.size());
    return Median(times);
}

// DoPing's own time (settings kept, 255 remarks read, 255 commands issued)
// with a Ps.ini of 20 000 remarks over many subnets, 255 of them this one's.
void BenchDoPingWithManyRemarks(Fmmain& w) {
    // One sweep first, so that set.ini already holds this entry and is not written below.
    SetSubnet(w, "127", "0", "0");
    w.ui().Text2->setText("1");
    w.DoPing();
    while (w.Sweeping()) QApplication::processEvents(QEventLoop::AllEvents, 5);
    {
        std::FILE* f = std::fopen(settings::IniPath("Ps.ini").c_str(), "w");
        if (!f) return;
        std::fputs("[PS]\n", f);
        for (int k = 0; k < 20000; ++k)
            std::fprintf(f, "10.%d.%d.%d=remark %d of a host seen on %d\n", k / 65025 % 255,
                         k / 255 % 255, k % 255 + 1, k, k % 97);
        for (int i = 1; i <= 255; i += 3) std::fprintf(f, "127.0.0.%d=loopback host %d\n", i, i);
        std::fclose(f);
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(300));  // older than the file clock's tick
    SetSubnet(w, "127", "0", "0");
    w.ui().Text2->setText("1");
    std::vector<double> times;
    double first = 0;
    for (int k = 0; k < 11; ++k) {
        auto t0 = Clock::now();
        w.DoPing();
        (k == 0 ? first : times.emplace_back()) = Ms(Clock::now() - t0);
        while (w.Sweeping()) QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    std::printf(
        "DoPing with a Ps.ini of 20 000 remarks: median %.2f ms (first, parsing it: %.2f ms)  "
        "target <= 10 ms; host 4's remark \"%s\"\n",
        Median(times), first, w.engine().Host(4).Ps.c_str());
    std::remove(settings::IniPath("Ps.ini").c_str());
}

void BenchSweeps() {
    Fmmain w;
    if (!w.Form_Load()) {
        std::printf("sweep: Morvel could not be reached\n");
        return;
    }
    BenchDoPingWithManyRemarks(w);
    SetSubnet(w, "127", "0", "0");
    double loop = RoundMedian(w);
    std::printf("sweep round 127.0.0: median %.1f ms, %d green  target <= 105 ms\n", loop,
                Green(w));

    std::string why;
    if (!testsupport::TestLan::Usable(&why)) {
        std::printf("test LAN: %s\n", why.c_str());
        w.close();
        return;
    }
    testsupport::TestLan lan(testsupport::TestLan::Range(1, 40));
    SetSubnet(w, "192", "0", "2");
    double lanRound = RoundMedian(w);
    std::printf("sweep round 192.0.2 (40 answer): median %.1f ms, %d green\n", lanRound, Green(w));
    w.ui().Check1->setChecked(true);
    double lanMac = RoundMedian(w);
    std::printf("  the same with MAC addresses: median %.1f ms\n", lanMac);
    w.ui().Check1->setChecked(false);

    std::vector<double> wall, cpu;
    for (int k = 0; k < 3; ++k) PollTimes(w, wall, cpu);
    std::printf(
        "poll of Timer1 on the window thread: wall median %.3f ms max %.3f ms, "
        "cpu median %.3f ms max %.3f ms (%zu polls)  target < 5 ms\n",
        Median(wall), *std::max_element(wall.begin(), wall.end()), Median(cpu),
        *std::max_element(cpu.begin(), cpu.end()), wall.size());
    w.close();

    std::printf("the same LAN with other tools:\n");
    Tool("fping -a -q -g -t 200 -r 0", "fping",
         {"-a", "-q", "-g", "192.0.2.0/24", "-t", "200", "-r", "0"});
    const double fping =
        Tool("fping ... -i 0", "fping",
             {"-a", "-q", "-g", "192.0.2.0/24", "-t", "200", "-r", "0", "-i", "0"});
    if (fping > 0)
        std::printf("  test-LAN round / fping -i 0 = %.2f  target <= 1.5\n", lanRound / fping);
    Tool("nmap -sn -n", "nmap", {"-sn", "-n", "192.0.2.0/24"});
    Tool("arp-scan", "arp-scan", {"-I", "tlan0", "192.0.2.0/24"});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--startup-child") return StartupChild(argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setlocale(LC_ALL, "");
    testsupport::IsolateProcess();
    BenchStartup("/proc/self/exe");
    QApplication app(argc, argv);
    BenchPaint();
    BenchSweeps();
    return 0;
}
