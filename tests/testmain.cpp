// GoogleTest main for tests that use Qt's image I/O: a QGuiApplication (offscreen) and the
// reader allocation limit the application runs with.
#include "imaging.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
