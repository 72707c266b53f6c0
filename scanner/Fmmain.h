// SPDX-License-Identifier: MIT
// The main window: subnet entry, the 16 x 16 host grid FG1, the host list and
// the details box. It owns its widgets and forwards its handlers; the sweep
// itself is sweep::Sweep, which tells the window what to show.
//
// Start-up (Form_Load) restores the entry from set.ini, has Morvel register
// itself and creates one proxy per host number. The grid keeps no image:
// every paint of FG1 draws each cell from its proxy's colour (RefIp, with
// the paint's painter).
//
// Failures to reach Morvel never hang the window: start-up tells the user and
// fails; during a sweep the sweep stops with a message and the next sweep
// creates the proxies (and so a new Morvel) afresh.
//
// Beside what it always showed, the window keeps what its last sweep found
// (sweep::GatherResult, as the script reports it) and records every sweep
// where the script's sweeps are kept, so that both see the same changes. A
// host's menu (right button, the menu key, Shift+F10), the host table
// (Ctrl+T), a cell's tooltip and, when asked, corner marks of the changes
// show it; none of them runs a step of the left button's or the keyboard's,
// and with the marks off the grid's pixels are those it always had.
#pragma once

#include <QPointer>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/direct_links.h"
#include "sweep/Ping.h"
#include "sweep/Sweep.h"
#include "sweep/SweepReport.h"
#include "sweep/Vendors.h"
#include "sweep/value.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPainter;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QThreadPool;
class QTimer;

namespace platform {
class ReverseNames;
}
namespace windows {
class HostTable;
}

namespace scanner {

// The key codes the subnet entry reacts to: Windows virtual-key codes, under
// their Windows names. The window maps Qt's keys to them.
inline constexpr int vbKeyReturn = 13;
inline constexpr int vbKeyDecimal = 110;   // the numeric keypad's point
inline constexpr int VK_OEM_PERIOD = 190;  // the main keyboard's point

// Colours of the grid's frame (BGR).
inline constexpr std::int32_t kColorBorder = 0x00DCDCDC;
inline constexpr std::int32_t kColorGridBack = 0x00FFFFC0;

// set.ini, section "Set": "1" when the grid marks the changes, else not.
inline constexpr const char* kShowChangesKey = "ShowChanges";

// How long after a sweep its hosts' names may still come in.
inline constexpr std::chrono::milliseconds kNamesWait{1000};
inline constexpr std::chrono::milliseconds kNamesPoll{20};

// The corner marks (BGR), each kind of change its colour, top right; a host
// seen by ARP only, bottom left.
inline constexpr std::int32_t kMarkNew = 0x00FF0000;      // blue
inline constexpr std::int32_t kMarkMoved = 0x00FF00FF;    // magenta
inline constexpr std::int32_t kMarkMac = 0x00000000;      // black
inline constexpr std::int32_t kMarkUp = 0x00FFFFFF;       // white
inline constexpr std::int32_t kMarkDown = 0x0000FFFF;     // yellow
inline constexpr std::int32_t kMarkArpOnly = 0x00FFFF00;  // cyan

// The details of one host as ShowText writes them (lines joined by CR LF).
std::string HostDetails(const std::string& address, std::int32_t okCount, std::int32_t roundCount,
                        const std::string& mac, const std::string& remark);

// A sweep the window finished and has not yet recorded: what it found, and
// the look-ups of its names.
struct FinishedSweep {
    sweep::SweepResult result;
    bool compare = false, keep = false;  // changes against the sweep before; kept
    std::shared_ptr<platform::ReverseNames> names;
    std::optional<platform::Subnet24> namesSubnet;
    std::chrono::steady_clock::time_point deadline;  // for the names
    std::uint64_t id = 0;
};

// A finished sweep as recorded: with its changes, and per host (index n - 1)
// when the history last saw the address (local time, "" never) and with
// which MAC ("" unknown); `problem` when it could not be recorded.
struct Recording {
    sweep::SweepResult result;
    std::vector<std::string> lastSeen, macs;
    std::string problem;
};

class Fmmain : public QWidget, private sweep::SweepListener {
    Q_OBJECT
  public:
    static constexpr int kHosts = sweep::Sweep::kHosts;

    // The controls, by their design names.
    struct Controls {
        QLabel* Label1 = nullptr;
        std::array<QLineEdit*, 3> Text1{};
        QPushButton* Command1 = nullptr;
        QLabel* Label2 = nullptr;
        QLineEdit* Text2 = nullptr;
        QCheckBox* Check1 = nullptr;
        QPushButton* Command2 = nullptr;
        QPushButton* Command3 = nullptr;
        QTimer* Timer1 = nullptr;
        QProgressBar* PB1 = nullptr;
        QWidget* FG1 = nullptr;
        QLabel* Label3 = nullptr;
        QWidget* Picture2 = nullptr;
        QWidget* PP1 = nullptr;
        QWidget* Picture3 = nullptr;
        QLabel* Label4 = nullptr;
        QPlainTextEdit* Text3 = nullptr;
        QListWidget* List1 = nullptr;
    };

    explicit Fmmain(QWidget* parent = nullptr);
    ~Fmmain() override;

    const Controls& ui() const { return ui_; }
    sweep::Sweep& engine() { return engine_; }
    const sweep::Sweep& engine() const { return engine_; }

    // The window's load: restores the entry, registers Morvel, creates the
    // proxies. False when Morvel could not be started or reached; the user has
    // then been told what failed, no proxy is left, and the window must not be
    // shown.
    bool Form_Load();
    // The query-close: "A" into every slot and Timer1 off. Closing the window
    // runs it and then releases the proxies, so Morvel can end.
    void Form_QueryUnload();
    // The one layout rule: FG1's bottom meets List1's.
    void Form_Resize();

    // Drawing, with FG1's painter (inside its paint).
    void RefIp(QPainter& dc);
    void SetFGColor(QPainter& dc, int Index, const sweep::Value& Color);
    void SetFGText(QPainter& dc, int Index, const sweep::Value& Text);

    // The sweep, forwarded to the engine with the boxes as they are now.
    void DoPing();
    void PingIt();
    void Timer1_Timer();
    bool Sweeping() const;

    // The subnet entry (key codes as above).
    void Text1_GotFocus(int Index);
    void Text1_KeyUp(int Index, int KeyCode);

    // The grid and the list.
    void FG1_MouseMove(int Button, int Shift, float X, float Y);
    void FG1_Click();
    void FG1_DblClick();
    void List1_Click();
    void List1_DblClick();
    void ShowText();
    void EditRemark();

    // The host under the pointer or chosen in the list (0: none).
    std::int32_t CurHost() const { return CurHost_; }
    void SetCurHost(std::int32_t n) { CurHost_ = n; }

    // The address text of host n from the octet boxes as they are now.
    std::string HostAddress(int n) const;

    // The modal input box: nothing when the user cancels. Tests replace it.
    std::function<std::optional<std::string>(const std::string& prompt, const std::string& title,
                                             const std::string& initial)>
        InputBox;
    // What Command2 and Command3 open.
    std::function<void()> OpenPingWindow;
    std::function<void()> OpenAboutWindow;

    // The paints of FG1 and PP1.
    void PaintFG1(QPainter& painter);
    void PaintPP1(QPainter& painter);

    // ---- what the window adds ----
    // The menu of host n, shown at globalPos; nothing of the grid, the list
    // or the details changes. HostMenu() is the one open, or nullptr.
    void ShowHostMenu(int n, const QPoint& globalPos);
    QMenu* HostMenu() const;
    // Its items, for host n.
    void PingContinuously(int n);
    void CopyAddress(int n);
    void CopyMac(int n);
    void WakeHost(int n);
    void OpenHostTable();
    void SetShowChanges(bool on);
    bool ShowChanges() const { return showChanges_; }
    // The remark edit of host n under `key` in Ps.ini: EditRemark's steps
    // for a host chosen otherwise than by CurHost.
    void EditRemarkOf(int n, const std::string& key);

    // The address host n had in the last sweep (the octet boxes' before one).
    std::string ShownAddress(int n) const;
    // The MAC known for host n from the last sweep, "" when none.
    std::string KnownMac(int n) const;
    // What the last sweep found: empty hosts before the first sweep.
    const sweep::SweepResult& Findings() const { return found_; }
    // The tooltip of host n's cell (rich text); "" when there is nothing to tell.
    QString CellToolTip(int n) const;
    windows::HostTable* HostTableWindow() const;
    // Tests: what a sweep found, shown as at the end of a sweep.
    void SetFindingsForTesting(sweep::SweepResult found, std::vector<std::string> lastSeen);

    // What the continuous ping item opens. Tests replace it.
    std::function<void(const std::string& address)> OpenPingWindowAt;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    bool MakePings(std::vector<std::unique_ptr<sweep::Ping>>& fresh, std::string& failure);
    // The octet boxes and the whole entry as a sweep takes them.
    std::array<double, 3> Octets() const;
    sweep::SweepInput Entry() const;

    // What the engine asks of the window.
    void RefreshInput(sweep::SweepInput& input) override;
    void SaveEntry() override;
    std::string Remark(const std::string& ip) override;
    void ShowCount(const std::string& text) override;
    void ShowRow(int host, const std::string& row) override;
    void ShowProgressMax(std::int32_t max) override;
    void ShowProgress(std::int32_t value) override;
    void RefreshGrid() override;
    void RepaintGrid() override;
    void EnableCommand(bool on) override;
    void EnableTimer(bool on) override;
    void FocusLastOctet() override;
    void SweepFailed(const std::string& what) override;
    void WorkersStopped(const std::vector<int>& hosts) override;
    void HostSeen(int host) override;
    void SweepDone() override;
    // Who answered ARP and the names of the hosts seen, for the sweep about
    // to start on the subnet of the boxes; none for octets that name none.
    void PrepareLookups();

    // A finished sweep waits (AwaitNames) for its names, a second at most,
    // then is recorded off the window's thread (FlushRecord), and shown with
    // its changes (Recorded).
    void AwaitNames(std::uint64_t id);
    void FlushRecord();
    void Recorded(Recording r);
    void PaintMarks(QPainter& dc);
    // The findings changed: the table and the marks follow.
    void FindingsChanged();
    // The menu key or Shift+F10 in `from`: the menu of the host under the
    // pointer, else of List1's selected line. False when there is none.
    bool KeyboardMenu(QObject* from);
    void RemarkChanged(int n, const std::string& key, const std::string& remark);
    sweep::SweepResult TableData() const;

    Controls ui_;
    sweep::Sweep engine_{*this};
    std::int32_t CurHost_ = 0;
    std::int32_t LastHost_ = 0;
    bool closed_ = false;

    bool showChanges_ = false;
    sweep::SweepResult found_;
    std::vector<std::string> lastSeen_;  // per host of found_, local time
    std::vector<std::string> historyMacs_ = std::vector<std::string>(kHosts);  // per host
    std::chrono::system_clock::time_point started_;
    std::array<double, 3> sweptOctets_{};
    bool mixedOctets_ = false;  // the boxes changed between this sweep's rounds
    bool workersStopped_ = false;
    std::string recordProblem_;             // the last one told, so a failing record is told once
    std::optional<FinishedSweep> pending_;  // a finished sweep not yet handed to the recorder
    std::uint64_t pendingId_ = 0;
    std::unique_ptr<QThreadPool> recorder_;
    std::shared_future<sweep::Vendors> vendors_;
    std::unique_ptr<sweep::ArpPresence> presence_;  // of presenceSubnet_, for the engine
    platform::Subnet24 presenceSubnet_{};
    std::shared_ptr<platform::ReverseNames> names_;  // this sweep's look-ups
    std::optional<platform::Subnet24> namesSubnet_;
    QPointer<QMenu> menu_;
    QPointer<windows::HostTable> table_;
};

}  // namespace scanner
