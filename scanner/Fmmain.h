// The main window: subnet entry, the 16 x 16 host grid FG1, the host list,
// the details box, and the sweep engine that drives the 255 worker proxies.
//
// Start-up (Form_Load) restores the entry from set.ini, has Morvel register
// itself and creates one proxy per host number. A sweep (DoPing) hands every
// host a command at once; Timer1 polls the slots every 50 ms and a round ends
// at the first poll that finds no host outstanding. The grid keeps no image:
// every paint of FG1 draws each cell from its proxy's colour (RefIp).
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

#include "scanner/Ping.h"
#include "scanner/value.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPainter;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// Colours the window stores in a host's `color` (BGR, &H00BBGGRR).
inline constexpr std::int32_t kColorIdle = 0x00C8C8C8;
inline constexpr std::int32_t kColorBusy = 0x00646464;
inline constexpr std::int32_t kColorGreen = 0x0000FF00;
inline constexpr std::int32_t kColorRed = 0x000000FF;
inline constexpr std::int32_t kColorYellow = 0x0000FFFF;
inline constexpr std::int32_t kColorBorder = 0x00DCDCDC;
inline constexpr std::int32_t kColorGridBack = 0x00FFFFC0;
inline constexpr std::int32_t kColorWindow = 0x00FFC0C0;

// The details of one host as ShowText writes them (lines joined by CR LF).
std::string HostDetails(const std::string& address, std::int32_t okCount, std::int32_t roundCount,
                        const std::string& mac, const std::string& remark);

// The final colour of a host that answered k of roundCount rounds.
std::int32_t FinalColor(std::int32_t k, std::int32_t roundCount);

class Fmmain : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kHosts = 255;

    explicit Fmmain(QWidget* parent = nullptr);
    ~Fmmain() override;

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

    // Drawing (valid inside FG1's paint; RefIp outside it repaints FG1 at once).
    void RefIp();
    void SetFGColor(int Index, const Value& Color);
    void SetFGText(int Index, const Value& Text);

    // The sweep.
    void DoPing();
    void PingIt();
    void Timer1_Timer();
    bool Sweeping() const;

    // The subnet entry (VB key codes: 13 Enter, 110 keypad point, 190 main point).
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

    // The address text of host n from the octet boxes as they are now.
    std::string HostAddress(int n) const;
    // The host rows of List1.
    static std::string BareRow(int n);
    std::string FullRow(int n) const;

    // Controls, by their design names.
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

    // Pings[i] serves host i (1..255); Pings[0] is never set. Empty before
    // Form_Load and after the window closed.
    std::vector<std::unique_ptr<Ping>> Pings;
    std::int32_t RoundNo = 0;
    std::int32_t RoundCount = 0;
    std::int32_t CurHost = 0;
    std::int32_t LastHost = 0;

    // The modal input box: nothing when the user cancels. Tests replace it.
    std::function<std::optional<std::string>(const std::string& prompt, const std::string& title,
                                             const std::string& initial)>
        InputBox;
    // What Command2 and Command3 open.
    std::function<void()> OpenPingWindow;
    std::function<void()> OpenAboutWindow;

    // Paint hooks for FG1 and PP1. PaintWith runs `draw` with `painter` as
    // FG1's device context, as its paint does with RefIp.
    void PaintFG1(QPainter& painter);
    void PaintWith(QPainter& painter, const std::function<void()>& draw);
    void PaintPP1(QPainter& painter);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    bool MakePings(std::vector<std::unique_ptr<Ping>>& fresh, std::string& failure);
    void SweepFailed(const std::string& what);
    void RepaintGrid();

    QPainter* dc_ = nullptr;  // FG1's painter while its paint runs
    bool pingsBroken_ = false;
    bool closed_ = false;
};
