// SPDX-License-Identifier: MIT
// The about window: program title, version and contact. There is only one:
// showing it again brings the same window to the front; closing it (by "好啊"
// or the caption bar) destroys it, and the next show creates it anew.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace windows {

class Fmshow : public QWidget {
    Q_OBJECT

  public:
    explicit Fmshow(QWidget* parent = nullptr);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label4;
    QLabel* Label5;  // contact details under Label4
    QPushButton* Command1;

  public slots:
    void Command1_Click();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    bool centred_ = false;
};

// Shows the one about window non-modal, creating it when there is none (or
// the one there is is closing). parent (the main window) owns it.
Fmshow* ShowAbout(QWidget* parent);

// The open about window, or nullptr.
Fmshow* AboutWindow();

}  // namespace windows
