// The main of the test programs that need Qt's event loop but no windows: one QCoreApplication for
// all their tests, on main()'s stack so that it is made before the first test and deleted after the
// last one.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
