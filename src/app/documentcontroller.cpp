#include "documentcontroller.h"

#include "mirelomodel.h"

#include <QImageReader>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

DocumentController::DocumentController(MireloModel& model, QWidget* dialogParent)
    : QObject(dialogParent), model_(model) {
    askToSave = [dialogParent](const QString& question) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Unsaved Picture"), question,
                        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel,
                        dialogParent);
        box.setInformativeText(
            QStringLiteral("If you don't save, the erased picture will be lost."));
        box.setDefaultButton(QMessageBox::Save);
        box.setEscapeButton(QMessageBox::Cancel);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
}

void DocumentController::open() {
    model_.openPanel([this] { return mayDiscard(QStringLiteral("opening another picture")); });
}

bool DocumentController::mayDiscard(const QString& doing) {
    // A save still being written may be the one that keeps the result: let it finish first.
    model_.waitForSaves();
    // A running erase is a result too, even the first one of a photo.
    if (!model_.unsavedResult() && !model_.eraseRunning())
        return true;
    const QString question = QStringLiteral("Save the erased picture before %1?").arg(doing);
    const QMessageBox::StandardButton answer =
        askToSave ? askToSave(question) : QMessageBox::Cancel;
    switch (answer) {
    case QMessageBox::Save:
        // The file is to hold the erase, so the save waits for it.
        return model_.savePNG(MireloModel::SaveTiming::AfterErase) && model_.waitForSaves();
    case QMessageBox::Discard:
        // Nobody waits for a result that is thrown away; nor may it land on a new picture.
        model_.abandonErase();
        return true;
    default:
        return false;
    }
}

void DocumentController::openFile(const QString& path) {
    if (mayDiscard(QStringLiteral("opening another picture")))
        model_.load(QUrl::fromLocalFile(path));
}

void DocumentController::paste(const QMimeData* mime) {
    if (drop(mime, true))
        return;
    // Nothing readable: the load of no bytes reports it as any unreadable image.
    model_.load(QByteArray());
}

bool DocumentController::acceptable(const QMimeData* mime) {
    if (!mime)
        return false;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile())
            return true;
    if (mime->hasImage())
        return true;
    for (const QString& format : mime->formats())
        if (format.startsWith("image/"))
            return true;
    return false;
}

bool DocumentController::drop(const QMimeData* mime, bool pasted) {
    if (!mime)
        return false;
    MireloModel* m = &model_;
    const QString doing = pasted ? QStringLiteral("pasting another picture")
                                 : QStringLiteral("opening another picture");
    const QString name = pasted ? QStringLiteral("Pasted image") : QStringLiteral("Dropped image");
    // The question, if any, comes once the drop is over.
    auto post = [this, doing](auto load) {
        QMetaObject::invokeMethod(
            this,
            [this, doing, load] {
                if (mayDiscard(doing))
                    load();
            },
            Qt::QueuedConnection);
    };
    const QList<QUrl> urls = mime->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile()) {
        const QUrl url = urls.first();
        post([m, url] { m->load(url); });
        return true;
    }
    const QList<QByteArray> readable = QImageReader::supportedMimeTypes();
    for (const QString& format : mime->formats()) {
        if (format.startsWith("image/") && readable.contains(format.toLatin1())) {
            const QByteArray bytes = mime->data(format);
            post([m, bytes, name] { m->load(bytes, name); });
            return true;
        }
    }
    if (mime->hasImage()) {
        // Image data without an encoded form Qt reads: the model encodes it in the
        // background.
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        post([m, image, name] { m->load(image, name); });
        return true;
    }
    return false;
}
