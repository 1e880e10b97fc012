#pragma once

#include <QMessageBox>
#include <QWidget>

#include <functional>

class CanvasView;
class ElidedLabel;
class MireloModel;
class QLabel;
class QMimeData;
class QProgressBar;
class QPushButton;
class QSlider;
class QToolBar;

// The window's content: the canvas area (the canvas with, on top as the document's state
// demands, the placeholder, the erase progress panel and the drop highlight), a divider
// and the bottom bar with the brush settings, "Clear mask", the picture's size, the zoom
// and the status text; plus the toolbar the window shows, which the commands fill. Every
// control reads the model and calls its operations; the view keeps no document state of
// its own.
class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(MireloModel& model, QWidget* parent = nullptr);
    ~ContentView() override;

    // Turns a drop (or a paste) into a load of the model: the first local file, else the
    // first image data. Answers false when there is neither. The load runs a moment later
    // on the event loop, so the drag source is never kept waiting, after mayDiscard()
    // agreed.
    bool handleDrop(const QMimeData* mime, bool pasted = false);
    void setDropTargeted(bool on);

    // Asks for a file and opens it, after mayDiscard() agreed.
    void open();
    // Whether the current document may be replaced or closed: true unless it holds an
    // unsaved result, or an erase runs, that the user, asked to save it before `doing`
    // ("quitting"), wants to keep. Answering Save saves first, once a running erase has
    // finished, and agrees only when the file was written; Discard gives up a running
    // erase at once.
    bool mayDiscard(const QString& doing);
    // Asks the question of mayDiscard(): Save, Discard or Cancel. Tests answer it
    // themselves; by default a message box asks the user.
    std::function<QMessageBox::StandardButton(const QString& question)> askToSave;

    CanvasView* canvas = nullptr;
    QWidget* canvasArea = nullptr;
    QWidget* placeholder = nullptr;
    QWidget* busyOverlay = nullptr;
    QWidget* dropHighlight = nullptr;
    QWidget* bottomBar = nullptr;
    QToolBar* toolbar = nullptr;

    QPushButton* placeholderOpen = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* progressText = nullptr;
    QSlider* brushSlider = nullptr;
    QLabel* brushReadout = nullptr;
    QSlider* featherSlider = nullptr;
    QLabel* featherReadout = nullptr;
    QPushButton* clearButton = nullptr;
    // "3072 × 2304", or "3072 × 2304 of 8000 × 6000" for a photo scaled down on opening.
    QLabel* sizeReadout = nullptr;
    // The picture's scale on screen: "100 %" shows one image pixel per point.
    QLabel* zoomReadout = nullptr;
    // The status text; a message too long for the bar is cut short, whole in its tooltip.
    ElidedLabel* status = nullptr;

public slots:
    // Recomputes every control from the model.
    void refresh();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildToolbar();
    QWidget* buildPlaceholder();
    QWidget* buildBusyOverlay();
    QWidget* buildBottomBar();

    MireloModel& model_;
    bool dropTargeted_ = false;
    // The application's override cursor is the wait cursor.
    bool waitCursor_ = false;
};
