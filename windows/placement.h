// SPDX-License-Identifier: MIT
// Where the program's own windows first appear.
#pragma once

class QWidget;

namespace windows {

// Centres `w` on its screen (the primary one when it has none yet).
void CentreOnScreen(QWidget* w);

}  // namespace windows
