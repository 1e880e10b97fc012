#include "imaging.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

#include <string>

int quitDuringJob(const QString& job, const QString& photo, const QString& out);

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--quit-during") {
        QGuiApplication app(argc, argv);
        Imaging::configureImageReader();
        return quitDuringJob(argv[2], argv[3], argv[4]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery runs without a display platform; it needs no application.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    return RUN_ALL_TESTS();
}
