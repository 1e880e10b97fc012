#pragma once

#include <QObject>

#include <functional>
#include <utility>
#include <vector>

class MireloModel;
class QAction;
class QMenu;
class QMenuBar;
class QToolBar;

// The window's commands: one QAction each, shared by the menus and the toolbar (its
// title there is the action's iconText), and one table of enable rules read from the
// model. The zoom commands alone have two actions each: the Image menu's are always
// enabled, the toolbar's only while a picture is open. Actions the table does not name
// are always enabled. Each action's objectName is its field's name.
class Commands : public QObject {
    Q_OBJECT
public:
    // What the window does for the commands that are not operations of the model.
    struct Handlers {
        std::function<void()> open, paste, quit, actualSize;
    };
    Commands(MireloModel& model, Handlers handlers, QObject* parent = nullptr);

    // Adds the File, Edit and Image menus and returns them.
    std::vector<QMenu*> addMenus(QMenuBar* bar) const;
    // Fills the toolbar: Open, Undo, Redo, Compare, Zoom Out, Fit, Zoom In, Save PNG, Copy,
    // Erase.
    void fillToolbar(QToolBar* toolbar) const;
    // Enables every action by its rule, and checks Compare and Preserve Texture as the
    // model says.
    void refresh();

    QAction* open;
    QAction* save;
    QAction* saveFullSize;
    QAction* saveFullSizeJpeg;
    QAction* quit;
    QAction* undo;
    QAction* redo;
    QAction* copy;
    QAction* paste;
    QAction* erase;
    QAction* texture; // "Preserve Texture", checkable
    QAction* clearMask;
    QAction* revert;
    QAction* zoomIn;
    QAction* zoomOut;
    QAction* fit;
    QAction* actualSize;
    QAction* compare; // toolbar only, checkable
    QAction* toolbarZoomOut;
    QAction* toolbarFit;
    QAction* toolbarZoomIn;

private:
    MireloModel& model_;
    std::vector<std::pair<QAction*, bool (*)(const MireloModel&)>> rules_;
};
