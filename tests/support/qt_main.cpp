#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdlib>

#include "tests/support/isolation.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setlocale(LC_ALL, "");
    testing::InitGoogleTest(&argc, argv);
    testsupport::IsolateProcess();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
