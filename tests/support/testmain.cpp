// The main of every test program: GoogleTest inside a Qt application object, so that tests
// can use Qt's event loop (and, in widget tests, real widgets on the offscreen platform).
#include <gtest/gtest.h>

#ifdef TALVENOR_GUI_TESTS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
