// GoogleTest main for tests that use Qt's image I/O: a QGuiApplication (offscreen) and the
// reader allocation limit the application runs with. Listing the tests needs neither.
//
// Built with MIRELO_TEST_CHILD, "--quit-during JOB PHOTO OUT" runs instead the child
// process that the lifecycle tests start and end in the middle of a job.
#include "imaging.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

#include <string>

#ifdef MIRELO_TEST_CHILD
int quitDuringJob(const QString& job, const QString& photo, const QString& out);
#endif

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef MIRELO_TEST_CHILD
    if (argc == 5 && std::string(argv[1]) == "--quit-during") {
        QGuiApplication app(argc, argv);
        Imaging::configureImageReader();
        return quitDuringJob(argv[2], argv[3], argv[4]);
    }
#endif
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    return RUN_ALL_TESTS();
}
