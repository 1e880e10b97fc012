// The document's background work: erasing and saving.
#include "mirelomodel.h"

#include "imaging.h"
#include "inpainter.h"

#include <QBuffer>
#include <QEventLoop>
#include <QImageReader>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>

#include <algorithm>
#include <functional>

// Erase job

void MireloModel::erase() {
    endStroke();
    if (isBusy_ || !current_ || !mask_ || !mask_->hasPaint())
        return;
    PixelImage image = *current_;
    history_.recordTentatively(snapshot());
    refreshFlags();
    MaskTiles maskTiles = mask_->tiles();
    erasing_ = true;
    eraseAbandoned_ = std::make_shared<std::atomic<bool>>(false);
    publishBusy();
    setProgress(0.0);
    setMessage(std::nullopt);

    // The pointer is only ever tested on the GUI thread, inside the queued functors: the
    // model may be destroyed while the job runs, and its result is then dropped. So is
    // the result of an erase that was abandoned, even if a newer erase runs by then.
    const QPointer<MireloModel> weak(this);
    const std::atomic<bool>* closing = &closing_;
    const std::shared_ptr<std::atomic<bool>> abandoned = eraseAbandoned_;
    const int threads = processors;
    const Inpainter::Method method = fillMethod_;
    std::function<void()> job = [weak, closing, abandoned, image, maskTiles, threads,
                                 method]() mutable {
        // Thrown from the progress callback, on this thread between two steps of the fill,
        // to stop when the model is going or the erase was abandoned.
        struct Abandoned {};
        const Inpainter::Progress report = [weak, closing, abandoned](double value) {
            if (*closing || *abandoned)
                throw Abandoned{};
            Jobs::postToGuiThread([weak, abandoned, value] {
                if (weak && !*abandoned)
                    weak->eraseProgressed(value);
            });
        };
        std::optional<PixelImage> result;
        try {
            result = Jobs::erase(std::move(image), maskTiles, report, threads, method);
        } catch (const Abandoned&) {
            return;
        }
        Jobs::postToGuiThread([weak, abandoned, result = std::move(result)] {
            if (!weak || *abandoned)
                return;
            if (result)
                weak->finishErase(*result);
            else
                weak->failErase(QStringLiteral("not enough memory"));
        });
    };
    jobPool_.start(std::move(job));
}

void MireloModel::eraseProgressed(double value) {
    // Updates may arrive in any order, and after the result: only a running job moves the
    // bar, and only forward.
    if (!erasing_)
        return;
    setProgress(std::max(progress_, value));
}

void MireloModel::finishErase(const PixelImage& result) {
    history_.confirm();
    current_ = result;
    currentImage_ = Imaging::makeQImage(result);
    if (mask_)
        mask_->clear();
    erasing_ = false;
    publishBusy();
    setProgress(1.0);
    setEdited(true);
    setPasses(passes_ + 1);
    currentChanged();
    refreshFlags();
    emit pictureChanged();
    eraseEnded();
}

void MireloModel::failErase(const QString& reason) {
    undoErase();
    setMessage(Imaging::withReason(Imaging::kEraseFailedMessage, reason));
    eraseEnded();
}

void MireloModel::abandonErase() {
    if (!erasing_)
        return;
    *eraseAbandoned_ = true;
    undoErase();
    eraseEnded();
}

void MireloModel::undoErase() {
    // The document stays as it was before the erase, its paint and its redo history too.
    history_.retract();
    erasing_ = false;
    publishBusy();
    refreshFlags();
    emit pictureChanged();
}

void MireloModel::eraseEnded() {
    // They write whatever the document holds now: the result, or the picture before an
    // erase that failed.
    std::vector<WaitingSave> waiting = std::move(savesAfterErase_);
    savesAfterErase_.clear();
    for (const WaitingSave& save : waiting)
        runSave(save.path, save.full, save.type);
}

// Export

bool MireloModel::savePNG(SaveTiming timing) { return startSave(false, timing); }

bool MireloModel::savePNGFullSize() {
    if (!scaledDown_ || source_.isEmpty())
        return false;
    return startSave(true, SaveTiming::Now);
}

bool MireloModel::saveJPEGFullSize() {
    if (!scaledDown_ || source_.isEmpty())
        return false;
    return startSave(true, SaveTiming::Now, Imaging::FileType::Jpeg);
}

bool MireloModel::startSave(bool full, SaveTiming timing, Imaging::FileType type) {
    // A picture still being opened is about to replace this one.
    if (currentImage_.isNull() || opening_)
        return false;
    const QSize size = full ? fullSize_ : QSize(int(current_->width()), int(current_->height()));
    const QString title =
        QStringLiteral("%1 — %2 × %3")
            .arg(type == Imaging::FileType::Jpeg ? QStringLiteral("Save Full Size as JPEG")
                 : full                          ? QStringLiteral("Save Full Size as PNG")
                                                 : QStringLiteral("Save as PNG"))
            .arg(size.width())
            .arg(size.height());
    const QString path = chooseSavePath ? chooseSavePath(title, type) : QString();
    if (path.isEmpty() || currentImage_.isNull() || opening_)
        return false;
    if (saving_ == 0)
        savesFailed_ = false;
    ++saving_;
    if (timing == SaveTiming::AfterErase && erasing_) {
        savesAfterErase_.push_back({path, full, type});
        publishBusy();
        return true;
    }
    runSave(path, full, type);
    return true;
}

void MireloModel::runSave(const QString& path, bool full, Imaging::FileType type) {
    if (full) {
        ++savingFullSize_;
        setProgress(0.0);
    }
    publishBusy();
    // The picture as it is now: changes to the document later do not reach the file.
    const PixelImage picture = *current_;
    const PixelImage loaded = *original_;
    const QByteArray source = source_;
    const QByteArray format = sourceFormat_;
    const QPointer<MireloModel> weak(this);
    const int threads = processors;
    savePool_.start([weak, picture, loaded, source, format, path, full, type, threads] {
        const Inpainter::Progress report = [weak](double value) {
            Jobs::postToGuiThread([weak, value] {
                if (weak)
                    weak->saveProgressed(value);
            });
        };
        const Jobs::Saved saved =
            full ? Jobs::saveFullSize(picture, loaded, source, format, path, type, report, threads)
                 : Jobs::save(picture, path);
        Jobs::postToGuiThread([weak, full, saved, path, picture] {
            if (weak)
                weak->finishSave(full, saved.error, saved.reason, path, picture);
        });
    });
}

void MireloModel::saveProgressed(double value) {
    // Only a running full-size save moves the bar, and only forward.
    if (savingFullSize_ > 0 && !erasing_)
        setProgress(std::max(progress_, value));
}

void MireloModel::finishSave(bool full, Imaging::SaveError error, const QString& reason,
                             const QString& path, const PixelImage& saved) {
    --saving_;
    if (full)
        --savingFullSize_;
    publishBusy();
    if (error != Imaging::SaveError::None) {
        savesFailed_ = true;
        publishMessage(Imaging::withReason(Imaging::message(error), reason),
                       MessageKind::SaveFailure, path);
        return;
    }
    // An earlier failure to save is over now.
    if (messageKind_ == MessageKind::SaveFailure)
        setMessage(std::nullopt);
    markSettled(saved);
}

bool MireloModel::waitForSaves() {
    if (saving_ > 0) {
        // The window keeps repainting; input waits, as the document refuses it anyway.
        QEventLoop loop;
        connect(this, &MireloModel::isBusyChanged, &loop, [this, &loop] {
            if (saving_ == 0)
                loop.quit();
        });
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return !savesFailed_;
}

void MireloModel::copyToClipboard() {
    if (currentImage_.isNull() || !putOnClipboard)
        return;
    putOnClipboard(currentImage_);
    publishMessage(copiedMessage, MessageKind::Notice, {});
    markSettled(current_);
}
