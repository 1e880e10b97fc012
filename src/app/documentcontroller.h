#pragma once

#include <QMessageBox>
#include <QObject>

#include <functional>

class MireloModel;
class QMimeData;
class QWidget;

// What replaces or closes the document: opening a file, pasting, dropping, and asking
// before an unsaved result is lost. The window's widgets and commands call it; it keeps
// no state of its own.
class DocumentController : public QObject {
    Q_OBJECT
public:
    // dialogParent: the window the question is asked over.
    DocumentController(MireloModel& model, QWidget* dialogParent);

    // Asks for a file and opens it, after mayDiscard() agreed.
    void open();
    // Opens a local file, after mayDiscard() agreed.
    void openFile(const QString& path);
    // Loads what the clipboard holds, as a paste does: an image file or image data. With
    // nothing readable, the load of no bytes reports it as any unreadable image.
    void paste(const QMimeData* mime);
    // True when a drag carries something a drop could open.
    static bool acceptable(const QMimeData* mime);
    // Turns a drop (or a paste) into a load of the model: the first local file, else the
    // first image data. Answers false when there is neither. The load runs a moment later
    // on the event loop, so the drag source is never kept waiting, after mayDiscard()
    // agreed.
    bool drop(const QMimeData* mime, bool pasted = false);

    // Whether the current document may be replaced or closed: true unless it holds an
    // unsaved result, or an erase runs, that the user, asked to save it before `doing`
    // ("quitting"), wants to keep. Answering Save saves first, once a running erase has
    // finished, and agrees only when the file was written; Discard gives up a running
    // erase at once.
    bool mayDiscard(const QString& doing);
    // Asks the question of mayDiscard(): Save, Discard or Cancel. Tests answer it
    // themselves; by default a message box asks the user.
    std::function<QMessageBox::StandardButton(const QString& question)> askToSave;

private:
    MireloModel& model_;
};
