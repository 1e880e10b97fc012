#pragma once

#include <QWidget>

class BottomBar;
class CanvasView;
class DocumentController;
class MireloModel;
class QLabel;
class QProgressBar;
class QPushButton;
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
    ContentView(MireloModel& model, DocumentController& document, QWidget* parent = nullptr);
    ~ContentView() override;

    void setDropTargeted(bool on);

    CanvasView& canvas() { return *canvas_; }
    // The toolbar for the window to show; empty until the commands fill it.
    QToolBar& toolbar() { return *toolbar_; }

public slots:
    // Recomputes every control from the model.
    void refresh();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildToolbar();
    QWidget* buildPlaceholder();
    QWidget* buildBusyOverlay();

    MireloModel& model_;
    DocumentController& document_;
    // Named by their roles for tests: "canvasArea", "placeholder", "busyOverlay",
    // "dropHighlight", "bottomBar", "toolbar", "placeholderOpen", "progressBar",
    // "progressText"; the canvas is the one CanvasView.
    CanvasView* canvas_ = nullptr;
    QWidget* canvasArea_ = nullptr;
    QWidget* placeholder_ = nullptr;
    QWidget* busyOverlay_ = nullptr;
    QWidget* dropHighlight_ = nullptr;
    BottomBar* bottomBar_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QPushButton* placeholderOpen_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* progressText_ = nullptr;
    bool dropTargeted_ = false;
    // The application's override cursor is the wait cursor.
    bool waitCursor_ = false;
};
