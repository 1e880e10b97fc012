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

MireloModel::MireloModel(QObject* parent) : QObject(parent) {
    // Made here, on the GUI thread while the application runs, never first by a job.
    Jobs::prepareGuiThreadQueue();
}

MireloModel::~MireloModel() {
    // Loads and erases see this and stop at their next step; a save finishes its file.
    closing_ = true;
    jobPool_.waitForDone();
    savePool_.waitForDone();
}

// Published values: store, then notify, on every assignment.
void MireloModel::setHasImage(bool v) {
    hasImage_ = v;
    emit hasImageChanged();
}
void MireloModel::setBrushSize(double v) {
    brushSize_ = v;
    emit brushSizeChanged();
}
void MireloModel::setFeather(double v) {
    feather_ = v;
    emit featherChanged();
}
void MireloModel::setIsBusy(bool v) {
    isBusy_ = v;
    emit isBusyChanged();
}
void MireloModel::setProgress(double v) {
    progress_ = v;
    emit progressChanged();
}
void MireloModel::setCanUndo(bool v) {
    canUndo_ = v;
    emit canUndoChanged();
}
void MireloModel::setCanRedo(bool v) {
    canRedo_ = v;
    emit canRedoChanged();
}
void MireloModel::setCompare(bool v) {
    compare_ = v;
    emit compareChanged();
}
void MireloModel::setMaskHasPaint(bool v) {
    maskHasPaint_ = v;
    emit maskHasPaintChanged();
}
void MireloModel::setEdited(bool v) {
    edited_ = v;
    emit editedChanged();
    if (!v && compare_)
        setCompare(false);
}
void MireloModel::setPasses(qint64 v) {
    passes_ = v;
    emit passesChanged();
}
void MireloModel::setMessage(const std::optional<QString>& v) {
    publishMessage(v, v ? MessageKind::Failure : MessageKind::None, {});
}
void MireloModel::publishMessage(const std::optional<QString>& text, MessageKind kind,
                                 const QString& file) {
    message_ = text;
    messageKind_ = kind;
    messageFile_ = file;
    emit messageChanged();
}
void MireloModel::setDocumentName(const QString& v) {
    documentName_ = v;
    emit documentNameChanged();
}
void MireloModel::setUnsavedResult(bool v) {
    unsavedResult_ = v;
    emit unsavedResultChanged();
}

bool MireloModel::messageIsFailure() const {
    return messageKind_ == MessageKind::Failure || messageKind_ == MessageKind::SaveFailure;
}

void MireloModel::markSettled(const std::optional<PixelImage>& picture) {
    settled_ = picture;
    if (unsavedResult_)
        setUnsavedResult(false);
}

void MireloModel::currentChanged() {
    const auto same = [this](const std::optional<PixelImage>& other) {
        return other && (current_->sharesBytesWith(*other) || *current_ == *other);
    };
    // The picture as loaded is still where it came from.
    const bool unsaved = current_ && !same(original_) && !same(settled_);
    if (unsaved != unsavedResult_)
        setUnsavedResult(unsaved);
}

void MireloModel::setView(double zoom, QPointF pan) {
    zoom_ = zoom;
    pan_ = pan;
    emit viewChanged();
}

void MireloModel::setCompareSplit(double v) {
    compareSplit_ = v;
    emit compareSplitChanged();
}

void MireloModel::setFillMethod(Inpainter::Method v) {
    fillMethod_ = v;
    emit fillMethodChanged();
}

const std::vector<void (MireloModel::*)()>& MireloModel::publishedSignals() {
    static const std::vector<void (MireloModel::*)()> notifiers{
        &MireloModel::hasImageChanged,     &MireloModel::brushSizeChanged,
        &MireloModel::featherChanged,      &MireloModel::isBusyChanged,
        &MireloModel::progressChanged,     &MireloModel::canUndoChanged,
        &MireloModel::canRedoChanged,      &MireloModel::compareChanged,
        &MireloModel::maskHasPaintChanged, &MireloModel::editedChanged,
        &MireloModel::passesChanged,       &MireloModel::messageChanged,
        &MireloModel::documentNameChanged, &MireloModel::unsavedResultChanged,
        &MireloModel::activityChanged,     &MireloModel::fillMethodChanged};
    return notifiers;
}

// Background jobs

void MireloModel::publishBusy() {
    const Activity activity = erasing_          ? Activity::Erasing
                              : savingFullSize_ ? Activity::SavingFullSize
                              : saving_         ? Activity::Saving
                              : opening_        ? Activity::Opening
                                                : Activity::None;
    setIsBusy(activity != Activity::None);
    activity_ = activity;
    emit activityChanged();
}

// Loading

void MireloModel::openPanel(const std::function<bool()>& mayReplace) {
    const QString path = chooseOpenPath ? chooseOpenPath() : QString();
    if (!path.isEmpty() && (!mayReplace || mayReplace()))
        load(QUrl::fromLocalFile(path));
}

void MireloModel::load(const QUrl& url) {
    const QString path = url.toLocalFile();
    if (erasing_ || saving_) {
        // The document refuses a new picture now; only an unreadable file still says so.
        QImageReader reader(path);
        if (!Imaging::canOpen(reader))
            setMessage(Imaging::message(Imaging::LoadError::NotAnImageFile));
        return;
    }
    startLoad([path] { return Jobs::loadFile(path); });
}

void MireloModel::load(const QByteArray& data, const QString& name) {
    if (erasing_ || saving_) {
        QBuffer buffer;
        buffer.setData(data);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        if (!Imaging::canOpen(reader))
            setMessage(Imaging::message(Imaging::LoadError::NotImageData));
        return;
    }
    startLoad([data, name] { return Jobs::loadData(data, name); });
}

void MireloModel::load(const QImage& image, const QString& name) {
    if (erasing_ || saving_)
        return;
    startLoad([image, name] { return Jobs::loadImage(image, name); });
}

void MireloModel::startLoad(std::function<Jobs::Loaded()> decode) {
    const quint64 generation = ++loadGeneration_;
    opening_ = true;
    publishBusy();
    const QPointer<MireloModel> weak(this);
    const std::atomic<bool>* closing = &closing_;
    jobPool_.start([weak, closing, generation, decode = std::move(decode)] {
        auto loaded = std::make_shared<Jobs::Loaded>();
        const Imaging::AbandonWhen abandon(*closing);
        *loaded = Jobs::prepared(decode);
        if (*closing)
            return; // the model is going: nobody will install the picture
        Jobs::postToGuiThread([weak, generation, loaded] {
            if (weak)
                weak->finishLoad(generation, *loaded);
        });
    });
}

void MireloModel::finishLoad(quint64 generation, Jobs::Loaded& loaded) {
    if (generation != loadGeneration_)
        return; // a newer load replaced this one
    opening_ = false;
    publishBusy();
    if (!loaded.image) {
        setMessage(Imaging::withReason(Imaging::message(loaded.error), loaded.reason));
        return;
    }

    endStroke();
    const PixelImage& image = *loaded.image;
    source_ = loaded.source;
    sourceFormat_ = loaded.format;
    scaledDown_ = loaded.scaledDown;
    fullSize_ = loaded.fullSize;
    original_ = image;
    current_ = image;
    originalImage_ = loaded.drawable;
    currentImage_ = originalImage_;
    mask_ = std::move(loaded.mask);
    history_.clear();
    setView(1.0, QPointF(0, 0));
    setCompareSplit(0.5);
    setHasImage(true);
    setCompare(false);
    setEdited(false);
    setPasses(0);
    setMessage(std::nullopt);
    documentFolder_ = loaded.folder;
    setDocumentName(loaded.name);
    settled_.reset();
    currentChanged();
    refreshFlags();
    emit pictureChanged();
}

void MireloModel::refreshFlags() {
    setCanUndo(!history_.undoStack().empty());
    setCanRedo(!history_.redoStack().empty());
    setMaskHasPaint(mask_ && mask_->hasPaint());
}

// View

// The zoom commands keep the picture's point at the view's centre where it is: its offset
// from the picture's centre, pan, grows with the scale.
void MireloModel::zoomIn() {
    const double zoomed = std::clamp(zoom_ * 1.25, minZoom, maxZoom);
    setView(zoomed, pan_ * (zoomed / zoom_));
}

void MireloModel::zoomOut() {
    const double zoomed = std::clamp(zoom_ * 0.8, minZoom, maxZoom);
    setView(zoomed, pan_ * (zoomed / zoom_));
}

void MireloModel::zoomToFit() { setView(1.0, QPointF(0, 0)); }

// History

Snapshot MireloModel::snapshot() const { return {*current_, mask_->tiles()}; }

bool MireloModel::beginStroke() {
    endStroke();
    if (!hasImage_ || isBusy_ || compare_ || !current_ || !mask_)
        return false;
    strokeHadPaint_ = mask_->hasPaint();
    history_.recordTentatively(snapshot());
    refreshFlags();
    setMaskHasPaint(true);
    return true;
}

void MireloModel::endStroke() {
    if (!strokeHadPaint_)
        return;
    const bool hadPaint = *strokeHadPaint_;
    strokeHadPaint_.reset();
    // Only the stroke has touched the document since its snapshot.
    if (mask_ && history_.hasTentativeStep() &&
        mask_->tiles() == history_.undoStack().back().mask) {
        history_.retract();
        // Stamps that reached the image without raising a byte still mark it painted.
        if (!hadPaint && mask_->hasPaint()) {
            mask_->clear();
            emit pictureChanged();
        }
    } else {
        history_.confirm();
    }
    refreshFlags();
}

void MireloModel::undo() {
    endStroke();
    if (isBusy_ || !current_ || !mask_)
        return;
    if (const std::optional<Snapshot> target = history_.undo(snapshot()))
        apply(*target);
}

void MireloModel::redo() {
    endStroke();
    if (isBusy_ || !current_ || !mask_)
        return;
    if (const std::optional<Snapshot> target = history_.redo(snapshot()))
        apply(*target);
}

void MireloModel::apply(const Snapshot& snapshot) {
    const bool pictureChanges = !current_ || !(*current_ == snapshot.image);
    current_ = snapshot.image;
    if (pictureChanges) {
        // The picture as loaded already has its drawable form.
        currentImage_ = original_ && snapshot.image.sharesBytesWith(*original_)
                            ? originalImage_
                            : Imaging::makeQImage(snapshot.image);
    }
    if (mask_)
        mask_->set(snapshot.mask);
    setEdited(!original_ || !(snapshot.image == *original_));
    currentChanged();
    refreshFlags();
    emit pictureChanged();
}

void MireloModel::clearMask() {
    endStroke();
    if (isBusy_ || !mask_ || !mask_->hasPaint())
        return;
    history_.record(snapshot());
    refreshFlags();
    mask_->clear();
    refreshFlags();
    emit pictureChanged();
}

void MireloModel::revertToOriginal() {
    endStroke();
    if (isBusy_ || !original_ || !edited_)
        return;
    history_.record(snapshot());
    refreshFlags();
    current_ = original_;
    currentImage_ = originalImage_;
    if (mask_)
        mask_->clear();
    setEdited(false);
    currentChanged();
    refreshFlags();
    emit pictureChanged();
}
