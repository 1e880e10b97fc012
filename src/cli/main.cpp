#include "erasecommand.h"
#include "imaging.h"

#include <QCoreApplication>

#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("mirelo-erase");
    Imaging::configureImageReader();
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return EraseCommand::run(arguments, stdout, stderr, isatty(STDERR_FILENO) == 1);
}
