#include "erasecommand.h"
#include "filenames.h"
#include "imaging.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

// The tool prints its own messages only; Qt's and the codecs' warnings (a missing runtime
// folder, a dubious colour profile) would read as failures in a script's log.
static void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "mirelo-erase: %s\n", qPrintable(text));
        std::abort();
    }
}

int main(int argc, char** argv) {
    qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("mirelo-erase");
    Imaging::configureImageReader();
    // From argv rather than QCoreApplication::arguments(), which would rewrite file names
    // that are not UTF-8.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments += FileNames::fromArgument(argv[i]);
    return EraseCommand::run(arguments, stdout, stderr, isatty(STDERR_FILENO) == 1);
}
