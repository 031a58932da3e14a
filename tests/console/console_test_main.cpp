// Test entry of the console tests: widgets need a QApplication, on the offscreen platform
// unless another one is chosen; the file types are built first, as the process entry does.

#include "core/file_types.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    FileTypes::_Initialize();
    const int status = RUN_ALL_TESTS();
    FileTypes::release();
    return status;
}
