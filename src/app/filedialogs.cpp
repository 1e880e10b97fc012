#include "filedialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QImageReader>
#include <QMimeDatabase>
#include <QStringList>

namespace FileDialogs {

QString imageNameFilter() {
    const QMimeDatabase db;
    QStringList patterns;
    for (const QByteArray& name : QImageReader::supportedMimeTypes()) {
        for (const QString& glob : db.mimeTypeForName(QString::fromLatin1(name)).globPatterns()) {
            if (!patterns.contains(glob))
                patterns << glob;
        }
    }
    const QStringList lower = patterns;
    for (const QString& glob : lower) {
        const QString upper = glob.toUpper();
        if (!patterns.contains(upper))
            patterns << upper;
    }
    return QStringLiteral("Images (%1)").arg(patterns.join(QLatin1Char(' ')));
}

QString chooseImageToOpen() {
    return QFileDialog::getOpenFileName(QApplication::activeWindow(), QStringLiteral("Open"), {},
                                        imageNameFilter());
}

QString chooseSavePath(const QString& folder, const QString& title, Imaging::FileType type) {
    const bool jpeg = type == Imaging::FileType::Jpeg;
    QFileDialog dialog(QApplication::activeWindow(), title, folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(jpeg ? QStringLiteral("JPEG image (*.jpg *.jpeg)")
                              : QStringLiteral("PNG image (*.png)"));
    dialog.setDefaultSuffix(jpeg ? QStringLiteral("jpg") : QStringLiteral("png"));
    dialog.selectFile(jpeg ? QStringLiteral("Mirelo.jpg") : QStringLiteral("Mirelo.png"));
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

} // namespace FileDialogs
