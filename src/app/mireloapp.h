#pragma once

#include "mirelomodel.h"

#include <QMainWindow>
#include <QObject>

#include <memory>

class ContentView;
class QAction;
class QMenu;

// The application: the one document, its window and the menu bar. Every command calls
// an operation of the model, and every command's enabled state is read from the model.
class MireloApp : public QObject {
    Q_OBJECT
public:
    MireloApp();
    ~MireloApp() override;

    MireloModel& model() { return model_; }
    QMainWindow& window() { return *window_; }
    ContentView& content() { return *content_; }

    // Opens a file given on the command line, after ContentView::mayDiscard() agreed.
    void openFile(const QString& path);
    // Loads the clipboard's image (or image file) as a new document.
    void paste();

    // Menu items.
    QAction* openAction = nullptr;
    QAction* saveAction = nullptr;
    QAction* saveFullSizeAction = nullptr;
    QAction* quitAction = nullptr;
    QAction* undoAction = nullptr;
    QAction* redoAction = nullptr;
    QAction* copyAction = nullptr;
    QAction* pasteAction = nullptr;
    QAction* eraseAction = nullptr;
    QAction* clearAction = nullptr;
    QAction* revertAction = nullptr;
    QAction* zoomInAction = nullptr;
    QAction* zoomOutAction = nullptr;
    QAction* fitAction = nullptr;
    QAction* actualSizeAction = nullptr;
    QAction* textureAction = nullptr; // "Preserve Texture", checkable
    QMenu* fileMenu = nullptr;
    QMenu* editMenu = nullptr;
    QMenu* imageMenu = nullptr;

public slots:
    // Recomputes every menu item's enabled state from the model.
    void updateActions();
    // "NAME — Mirelo", marked while the document holds an unsaved result.
    void updateTitle();

protected:
    // Closing the window (and so quitting) asks before an unsaved result is lost.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createMenus();
    // About 80 % of the screen's free area, centred.
    void placeWindow();
    // Gives the keyboard back to the canvas once a menu or a dialog has closed; with
    // activate, makes the window active again first.
    void refocusCanvas(bool activate);

    MireloModel model_;
    std::unique_ptr<QMainWindow> window_;
    ContentView* content_ = nullptr;
};
