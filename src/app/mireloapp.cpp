#include "mireloapp.h"

#include "contentview.h"
#include "icons.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenuBar>
#include <QMimeData>
#include <QUrl>

MireloApp::MireloApp() : window_(std::make_unique<QMainWindow>()) {
    window_->setWindowTitle("Mirelo");
    window_->setWindowIcon(QIcon(Icons::wand(64, QColor(90, 60, 200))));
    content_ = new ContentView(model_, window_.get());
    window_->setCentralWidget(content_);
    window_->addToolBar(content_->toolbar);
    createMenus();
    for (const char* signal :
         {SIGNAL(hasImageChanged()), SIGNAL(isBusyChanged()), SIGNAL(canUndoChanged()),
          SIGNAL(canRedoChanged()), SIGNAL(maskHasPaintChanged()), SIGNAL(editedChanged())})
        connect(&model_, signal, this, SLOT(updateActions()));
    updateActions();
}

MireloApp::~MireloApp() = default;

void MireloApp::createMenus() {
    QMenuBar* bar = window_->menuBar();
    MireloModel* m = &model_;
    auto item = [this](QMenu* menu, const QString& title, QList<QKeySequence> keys, auto slot) {
        QAction* a = menu->addAction(title);
        a->setShortcuts(keys);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };

    fileMenu = bar->addMenu("&File");
    openAction =
        item(fileMenu, QStringLiteral("Open…"), {Qt::CTRL | Qt::Key_O}, [m] { m->openPanel(); });
    saveAction = item(fileMenu, QStringLiteral("Save as PNG…"), {Qt::CTRL | Qt::Key_S},
                      [m] { m->savePNG(); });
    fileMenu->addSeparator();
    // Linux has no application menu, so Quit lives here.
    quitAction = item(fileMenu, "Quit", {QKeySequence::Quit}, [this] { window_->close(); });

    editMenu = bar->addMenu("&Edit");
    undoAction = item(editMenu, "Undo", {Qt::CTRL | Qt::Key_Z}, [m] { m->undo(); });
    redoAction = item(editMenu, "Redo", {Qt::CTRL | Qt::SHIFT | Qt::Key_Z}, [m] { m->redo(); });
    editMenu->addSeparator();
    copyAction = item(editMenu, "Copy", {Qt::CTRL | Qt::Key_C}, [m] { m->copyToClipboard(); });
    pasteAction = item(editMenu, "Paste", {Qt::CTRL | Qt::Key_V}, [this] { paste(); });

    imageMenu = bar->addMenu("&Image");
    eraseAction =
        item(imageMenu, "Erase Masked Area", {Qt::CTRL | Qt::Key_Return}, [m] { m->erase(); });
    clearAction =
        item(imageMenu, "Clear Mask", {Qt::CTRL | Qt::Key_Backspace}, [m] { m->clearMask(); });
    revertAction = item(imageMenu, "Revert to Original", {}, [m] { m->revertToOriginal(); });
    imageMenu->addSeparator();
    // "+" needs Shift on many keyboards; Ctrl+= is the same key without it.
    zoomInAction = item(imageMenu, "Zoom In", {Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal},
                        [m] { m->zoomIn(); });
    zoomOutAction = item(imageMenu, "Zoom Out", {Qt::CTRL | Qt::Key_Minus}, [m] { m->zoomOut(); });
    fitAction = item(imageMenu, "Fit to Window", {Qt::CTRL | Qt::Key_0}, [m] { m->zoomToFit(); });
}

void MireloApp::updateActions() {
    const MireloModel& m = model_;
    const bool busy = m.isBusy();
    undoAction->setEnabled(m.canUndo() && !busy);
    redoAction->setEnabled(m.canRedo() && !busy);
    saveAction->setEnabled(m.hasImage());
    copyAction->setEnabled(m.hasImage());
    eraseAction->setEnabled(m.maskHasPaint() && !busy);
    clearAction->setEnabled(m.maskHasPaint() && !busy);
    revertAction->setEnabled(m.edited() && !busy);
}

void MireloApp::openFile(const QString& path) { model_.load(QUrl::fromLocalFile(path)); }

void MireloApp::paste() {
    if (content_->handleDrop(QApplication::clipboard()->mimeData()))
        return;
    // Nothing readable: the load of no bytes reports it as any unreadable image.
    model_.load(QByteArray());
}
