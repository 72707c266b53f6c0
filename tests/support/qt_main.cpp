// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>

#include "tests/support/isolation.h"
#include "windows/language.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setlocale(LC_ALL, "");
    testing::InitGoogleTest(&argc, argv);
    testsupport::IsolateProcess();
    QApplication app(argc, argv);
    // As Tessor does: ctest pins the locale (C.UTF-8, en_US.UTF-8 for the English tests).
    windows::InstallTranslation(std::getenv);
    return RUN_ALL_TESTS();
}
