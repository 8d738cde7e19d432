// The widget tests run inside one QApplication (offscreen platform, set by CTest).
#include <QApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    // Listing the tests needs no display.
    std::unique_ptr<QApplication> app;
    if (!::testing::GTEST_FLAG(list_tests))
        app = std::make_unique<QApplication>(argc, argv);
    return RUN_ALL_TESTS();
}
