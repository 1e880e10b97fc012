#pragma once

#include "history.h"
#include "imaging.h"
#include "inpainter.h"
#include "jobs.h"
#include "maskstore.h"
#include "pixelimage.h"

#include <QImage>
#include <QObject>
#include <QPointF>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include <atomic>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QByteArray;
class QUrl;

// The document: the open image as loaded and as edited, its mask, the brush and view
// settings, the undo history and the background erase job.
//
// Published values are Qt properties whose setters store and then emit their NOTIFY
// signal on every assignment, even when the value does not change; views rebuild from
// the model on each signal (publishedSignals lists them). A wholesale change of the
// picture or the mask emits pictureChanged.
//
// Everything runs on the GUI thread; decoding, erasing and PNG encoding run in background
// jobs that work on copies (copy on write, so starting one copies no pixels) and hand
// their result back to the GUI thread with a queued call, through a weak link to the
// model. While a job runs (isBusy, with activity saying which), every operation that
// would change the document refuses: strokes, undo, redo, clearing, reverting and an
// erase; loads are refused during a save, and during an erase unless it is abandoned
// first, while a load requested during another replaces it (the older result is dropped
// when it arrives). Only the GUI-thread installation of a job's result, or abandoning an
// erase, clears isBusy.
class MireloModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY hasImageChanged)
    Q_PROPERTY(double brushSize READ brushSize WRITE setBrushSize NOTIFY brushSizeChanged)
    Q_PROPERTY(double feather READ feather WRITE setFeather NOTIFY featherChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY canUndoChanged)
    Q_PROPERTY(bool canRedo READ canRedo NOTIFY canRedoChanged)
    Q_PROPERTY(bool compare READ compare WRITE setCompare NOTIFY compareChanged)
    Q_PROPERTY(bool maskHasPaint READ maskHasPaint NOTIFY maskHasPaintChanged)
    Q_PROPERTY(bool edited READ edited NOTIFY editedChanged)
    Q_PROPERTY(qint64 passes READ passes NOTIFY passesChanged)
    Q_PROPERTY(std::optional<QString> message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(QString documentName READ documentName NOTIFY documentNameChanged)
    Q_PROPERTY(bool unsavedResult READ unsavedResult NOTIFY unsavedResultChanged)
    Q_PROPERTY(Activity activity READ activity NOTIFY activityChanged)
    Q_PROPERTY(double zoom READ zoom NOTIFY viewChanged)
    Q_PROPERTY(QPointF pan READ pan NOTIFY viewChanged)
    Q_PROPERTY(
        double compareSplit READ compareSplit WRITE setCompareSplit NOTIFY compareSplitChanged)
    Q_PROPERTY(
        Inpainter::Method fillMethod READ fillMethod WRITE setFillMethod NOTIFY fillMethodChanged)

public:
    // What a busy model is doing, for the busy panel. An erase wins over a save, and a
    // save over a load, when several run at once.
    // SavingFullSize: a full-size save, which synthesises the erased areas again and
    // reports its progress as an erase does.
    enum class Activity { None, Erasing, Saving, SavingFullSize, Opening };
    Q_ENUM(Activity)

    static constexpr double minZoom = 0.1;
    static constexpr double maxZoom = 40.0;

    explicit MireloModel(QObject* parent = nullptr);
    ~MireloModel() override;

    bool hasImage() const { return hasImage_; }
    double brushSize() const { return brushSize_; }
    double feather() const { return feather_; }
    bool isBusy() const { return isBusy_; }
    double progress() const { return progress_; }
    bool canUndo() const { return canUndo_; }
    bool canRedo() const { return canRedo_; }
    bool compare() const { return compare_; }
    bool maskHasPaint() const { return maskHasPaint_; }
    bool edited() const { return edited_; }
    qint64 passes() const { return passes_; }
    const std::optional<QString>& message() const { return message_; }
    // What message is: a notice such as copiedMessage, the failure of a save (which the
    // next successful save ends), or another failure.
    enum class MessageKind { None, Notice, Failure, SaveFailure };
    MessageKind messageKind() const { return messageKind_; }
    // True while message reports a failure (shown in red).
    bool messageIsFailure() const;
    // The open file's name, or what the data was ("Pasted image"); empty before any load.
    const QString& documentName() const { return documentName_; }
    // True while the current picture differs both from the one loaded and from the one
    // last saved or copied: closing the document would lose work. Mask paint alone does
    // not count.
    bool unsavedResult() const { return unsavedResult_; }
    // True while an erase runs: its result is work not yet saved either, even when the
    // picture before it was.
    bool eraseRunning() const { return erasing_; }
    // True while a save waits for the running erase to finish (savePNG(AfterErase)).
    bool saveWaitsForErase() const { return !savesAfterErase_.empty(); }
    // The file a failure in message is about, such as the one a save could not write;
    // empty when there is none.
    const QString& messageFile() const { return messageFile_; }
    // The folder of the open file; empty when the document came from data.
    const QString& documentFolder() const { return documentFolder_; }

    static inline const QString copiedMessage = QStringLiteral("Copied to the clipboard.");
    Activity activity() const { return activity_; }
    // True when the open picture was scaled down on loading, so a full-size save differs
    // from the plain one.
    bool scaledDown() const { return scaledDown_; }
    // The open photo's own size, upright: what a full-size save writes.
    QSize fullSize() const { return fullSize_; }

    // Magnification relative to the fitted view, within minZoom to maxZoom.
    double zoom() const { return zoom_; }
    // Offset of the image's centre from the view's centre, in view points.
    QPointF pan() const { return pan_; }
    // Position of the compare divider as a fraction of the displayed image's width.
    double compareSplit() const { return compareSplit_; }
    // How the next erase fills a thick hole. Undo and redo treat either method's erase alike.
    Inpainter::Method fillMethod() const { return fillMethod_; }

    // Every NOTIFY signal of the published values except the view's own (viewChanged and
    // compareSplitChanged, which come with every step of a drag): what views refresh on.
    static const std::vector<void (MireloModel::*)()>& publishedSignals();

    void setBrushSize(double v);
    void setFeather(double v);
    void setCompare(bool v);
    // Shows a failure, or no message.
    void setMessage(const std::optional<QString>& v);
    // Zoom and pan change together, so a view never sees one without the other.
    void setView(double zoom, QPointF pan);
    void setCompareSplit(double v);
    void setFillMethod(Inpainter::Method v);

    // Asks for an image file (chooseOpenPath) and loads it, if mayReplace (when given)
    // agrees to replace the current document.
    void openPanel(const std::function<bool()>& mayReplace = {});
    // Loads a local image file, image bytes or a pasted picture in the background,
    // replacing the whole document except the brush settings when it is decoded; name is
    // what the title calls data. On failure the document stays as it was and message
    // says why.
    void load(const QUrl& url);
    void load(const QByteArray& data, const QString& name = QStringLiteral("Pasted image"));
    void load(const QImage& image, const QString& name = QStringLiteral("Pasted image"));
    // Mirrors the stacks and the mask into canUndo, canRedo and maskHasPaint.
    void refreshFlags();
    void zoomIn();
    void zoomOut();
    void zoomToFit();

    // The canvas calls this on mouse-down: true if a stroke may start, in which case the
    // whole stroke that follows has already been recorded as one undo step.
    bool beginStroke();
    // Closes the open stroke: the flags follow the mask's real content, and a stroke that
    // changed no mask byte leaves no undo step behind. The canvas calls it on release;
    // every other change of the document or mask calls it first, so a stroke never runs
    // on into a replaced mask.
    void endStroke();
    // True from a beginStroke() that answered true until the stroke is closed.
    bool strokeOpen() const { return strokeHadPaint_.has_value(); }
    void undo();
    void redo();
    // Empties the mask as one undoable step; nothing happens when there is no paint.
    void clearMask();
    // Goes back to the image as loaded as one undoable step; nothing happens unless edited.
    void revertToOriginal();
    // Fills the painted area in the background; see isBusy and progress.
    void erase();
    // Gives up the running erase: the document is at once as it was before it (its paint
    // and its redo history too), and the erase's result is dropped when it comes. For
    // closing or replacing the document without waiting for the erase.
    void abandonErase();
    // Which picture a save asked for during an erase writes: the one shown now, or the
    // erase's result once it is installed. Without a running erase both write the
    // picture shown.
    enum class SaveTiming { Now, AfterErase };
    // Ask for a location (chooseSavePath) and write the current picture there as PNG in
    // the background: at the working size, or at the photo's original size (decoded
    // again from the kept source, with the erased areas enlarged into it). True when a
    // save started (or waits for the erase); waitForSaves() tells how it ended.
    bool savePNG(SaveTiming timing = SaveTiming::Now);
    bool savePNGFullSize();
    // The same at the original size as JPEG: a JPEG photo keeps its own file where no
    // erase reached (fullsize.h).
    bool saveJPEGFullSize();
    // Waits until every save that has started, or waits for an erase, is written and its
    // result handed over; true when all of them succeeded. The model's destruction waits
    // for running saves too, so quitting never cuts a file short.
    bool waitForSaves();
    // Puts the current picture on the clipboard and says so in message.
    void copyToClipboard();

    // The picture as loaded and as edited; none before the first load.
    const std::optional<PixelImage>& original() const { return original_; }
    const std::optional<PixelImage>& current() const { return current_; }
    // Drawable forms of original and current; null when there is none.
    const QImage& originalImage() const { return originalImage_; }
    const QImage& currentImage() const { return currentImage_; }
    // The mask of the open picture, painted by the canvas; none before the first load.
    MaskStore* mask() { return mask_.get(); }
    const MaskStore* mask() const { return mask_.get(); }
    const History& history() const { return history_; }

    // Outside effects, given by the application (file dialogs and the system clipboard)
    // or by tests. An empty path, or none given, means the user cancelled. The save dialog
    // starts in documentFolder(); its title names the size the save writes ("Save as PNG
    // — 3072 × 2304").
    std::function<QString()> chooseOpenPath;
    std::function<QString(const QString& title, Imaging::FileType type)> chooseSavePath;
    std::function<void(const QImage&)> putOnClipboard;
    // Threads the erase engine's patch matcher uses; 0 means one per processor.
    int processors = 0;

signals:
    void activityChanged();
    void hasImageChanged();
    void brushSizeChanged();
    void featherChanged();
    void isBusyChanged();
    void progressChanged();
    void canUndoChanged();
    void canRedoChanged();
    void compareChanged();
    void maskHasPaintChanged();
    void editedChanged();
    void passesChanged();
    void messageChanged();
    void documentNameChanged();
    void unsavedResultChanged();
    void viewChanged();
    void compareSplitChanged();
    void fillMethodChanged();
    // The picture or the mask was replaced, restored or cleared as a whole.
    void pictureChanged();

private:
    friend class MireloModelTestAccess;

    void setHasImage(bool v);
    void setIsBusy(bool v);
    void setProgress(double v);
    void setCanUndo(bool v);
    void setCanRedo(bool v);
    void setMaskHasPaint(bool v);
    // Compare mode ends with edited: there is nothing left to compare.
    void setEdited(bool v);
    void setPasses(qint64 v);
    void setDocumentName(const QString& v);
    void setUnsavedResult(bool v);
    // The picture has been saved or copied.
    void markSettled(const std::optional<PixelImage>& picture);
    // Recomputes unsavedResult after the current picture changed.
    void currentChanged();

    // Starts a background decode; the newest request wins.
    void startLoad(std::function<Jobs::Loaded()> decode);
    void finishLoad(quint64 generation, Jobs::Loaded& loaded);
    // Asks for a location and saves the current picture there (full: at the original
    // size), now or once the running erase has ended.
    bool startSave(bool full, SaveTiming timing, Imaging::FileType type = Imaging::FileType::Png);
    // Writes the current picture in the background; saving_ already counts it.
    void runSave(const QString& path, bool full, Imaging::FileType type);
    void saveProgressed(double value);
    void finishSave(bool full, Imaging::SaveError error, const QString& reason, const QString& path,
                    const PixelImage& saved);
    // Sets message, its kind and the file it is about (empty for none).
    void publishMessage(const std::optional<QString>& text, MessageKind kind, const QString& file);
    // Publishes isBusy and activity from the running jobs.
    void publishBusy();
    // The document as it is now, for the history.
    Snapshot snapshot() const;
    void apply(const Snapshot& snapshot);
    // GUI-thread ends of the erase job.
    void eraseProgressed(double value);
    void finishErase(const PixelImage& result);
    void failErase(const QString& reason);
    // Puts the document back as it was before the running erase and ends it.
    void undoErase();
    // The erase has ended one way or another: the saves that waited for it start.
    void eraseEnded();

    bool hasImage_ = false;
    double brushSize_ = 48.0;
    double feather_ = 0.35;
    bool isBusy_ = false;
    double progress_ = 0.0;
    bool canUndo_ = false;
    bool canRedo_ = false;
    bool compare_ = false;
    bool maskHasPaint_ = false;
    bool edited_ = false;
    qint64 passes_ = 0;
    std::optional<QString> message_;
    MessageKind messageKind_ = MessageKind::None;
    QString messageFile_;
    QString documentName_;
    bool unsavedResult_ = false;
    QString documentFolder_;
    // The picture last saved or copied.
    std::optional<PixelImage> settled_;
    std::optional<PixelImage> original_;
    std::optional<PixelImage> current_;
    QImage originalImage_;
    QImage currentImage_;
    std::unique_ptr<MaskStore> mask_;
    History history_;
    // While a stroke is open: whether the mask had paint before it. The stroke's undo
    // step is the history's tentative one, taken back if the stroke paints nothing; so is
    // a running erase's.
    std::optional<bool> strokeHadPaint_;
    Activity activity_ = Activity::None;
    double zoom_ = 1.0;
    QPointF pan_;
    double compareSplit_ = 0.5;
    Inpainter::Method fillMethod_ = Inpainter::Method::Standard;

    bool erasing_ = false;
    // Set to give up the running erase: its job stops at its next step, and a result it
    // has already handed over is dropped.
    std::shared_ptr<std::atomic<bool>> eraseAbandoned_;
    // Saves asked for with AfterErase during the erase: where, and whether full size.
    struct WaitingSave {
        QString path;
        bool full = false;
        Imaging::FileType type = Imaging::FileType::Png;
    };
    std::vector<WaitingSave> savesAfterErase_;
    bool opening_ = false;
    int saving_ = 0;           // running saves and those waiting for the erase
    int savingFullSize_ = 0;   // the running full-size saves among them
    bool savesFailed_ = false; // one of the saves running, or the last ones, failed
    // Counts load requests; a load's result is installed only if no newer one was made.
    quint64 loadGeneration_ = 0;
    // The compressed bytes the open picture was decoded from, kept for full-size saves.
    QByteArray source_;
    QByteArray sourceFormat_;
    bool scaledDown_ = false;
    QSize fullSize_;
    // Set when the model is being destroyed: running loads and erases stop early and hand
    // nothing back.
    std::atomic<bool> closing_{false};
    // Loads and erases, and saves, run here, not in the shared pool: the model's
    // destruction waits for them, so no job outlives it (or the application), and a save
    // that has begun always completes its file.
    QThreadPool jobPool_;
    QThreadPool savePool_;
};
