#pragma once

// What every fuzz target shares: a Qt application for the image plugins, and a way to
// stop on a broken promise that libFuzzer reports as a crash with the input saved.

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

namespace Fuzz {

inline void startQt() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static QGuiApplication app(argc, argv);
}

[[noreturn]] inline void broken(const char* promise) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
}

} // namespace Fuzz
