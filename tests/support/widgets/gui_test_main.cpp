// The main of every window test program: one QApplication for all its tests. It lives on main()'s
// stack, so it is made before the first test and deleted after the last one but before the static
// destructors run: a static one would outlive Qt's input-device registry and font caches and crash
// at exit. Tests that want Qt's Korean texts install them in a test environment of their own.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
