// SPDX-License-Identifier: MIT
// The continuous ping window: pings the address typed in Text1 every 200 ms
// while started and logs one time-stamped line per attempt at the top of
// List1. Each window has its own address, timer and log; any number may be
// open. It pings on the window thread, in-process or, where this program may
// not open an ICMP socket, through Morvel (windows/MorvelEcho.h); a tick
// blocks the window for the length of one echo.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTimer;

namespace windows {

// One echo: true when the host answered, false when not; throws (a
// std::exception whose what() is logged) when the address text is malformed.
using PingFunction = std::function<bool(const std::string& address)>;

class FmPing1 : public QWidget {
    Q_OBJECT

  public:
    // A top-level window (parent only owns it); deletes itself when closed.
    explicit FmPing1(QWidget* parent = nullptr);

    // Lines kept by normal ticks; error ticks may grow the log up to kMaxLines.
    static constexpr int kLogLines = 500;
    static constexpr int kMaxLines = 5000;

    // The echo this window uses (echo::PingHost, through Morvel where needed,
    // unless replaced). The default
    // is taken by windows created later; tests use it to run ticks fast.
    void SetPingFunction(PingFunction ping);
    static void SetDefaultPingFunction(PingFunction ping);  // empty restores PingHost

    QLabel* Label1;
    QLineEdit* Text1;
    QPushButton* Command1;
    QListWidget* List1;
    QTimer* Timer1;

  public slots:
    void Command1_Click();
    void Timer1_Timer();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void AddLine(const QString& line, bool normal);

    PingFunction ping_;
    bool inTick_ = false;
    bool centred_ = false;
};

// Creates a new continuous ping window and shows it non-modal; windows
// already open stay as they are. parent (the main window) owns it.
FmPing1* OpenPingWindow(QWidget* parent);
// The same with `address` in its box instead of the one started last; not started.
FmPing1* OpenPingWindow(QWidget* parent, const QString& address);

}  // namespace windows
