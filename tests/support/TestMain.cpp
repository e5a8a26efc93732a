// Test programs run inside a Qt application on the offscreen platform, so
// event loops, timers, sockets and widgets all work. The code under test
// finds the libraries and templates in the program folder of the build, not
// beside the test program.
#include "TestSupport.h"
#include "platform/Paths.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    vx::Paths::setProgramDir(vx::test::programDir());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
