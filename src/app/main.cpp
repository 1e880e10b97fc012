#include "documentcontroller.h"
#include "imaging.h"
#include "mireloapp.h"

#include <QApplication>
#include <QFileInfo>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Mirelo");
    QApplication::setDesktopFileName("mirelo");
    Imaging::configureImageReader();

    MireloApp mirelo;
    mirelo.window().show();
    const QStringList args = QApplication::arguments();
    if (args.size() > 1)
        mirelo.document().openFile(QFileInfo(args.at(1)).absoluteFilePath());
    return app.exec();
}
