// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <clocale>

#include "tests/support/isolation.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    testing::InitGoogleTest(&argc, argv);
    testsupport::IsolateProcess();
    return RUN_ALL_TESTS();
}
