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
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sweep/Ping.h"
#include "sweep/Sweep.h"
#include "sweep/value.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPainter;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace scanner {

// The key codes the subnet entry reacts to: Windows virtual-key codes, under
// their Windows names. The window maps Qt's keys to them.
inline constexpr int vbKeyReturn = 13;
inline constexpr int vbKeyDecimal = 110;   // the numeric keypad's point
inline constexpr int VK_OEM_PERIOD = 190;  // the main keyboard's point

// Colours of the grid's frame (BGR).
inline constexpr std::int32_t kColorBorder = 0x00DCDCDC;
inline constexpr std::int32_t kColorGridBack = 0x00FFFFC0;

// The details of one host as ShowText writes them (lines joined by CR LF).
std::string HostDetails(const std::string& address, std::int32_t okCount, std::int32_t roundCount,
                        const std::string& mac, const std::string& remark);

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

    Controls ui_;
    sweep::Sweep engine_{*this};
    std::int32_t CurHost_ = 0;
    std::int32_t LastHost_ = 0;
    bool closed_ = false;
};

}  // namespace scanner
