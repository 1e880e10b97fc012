#include "mireloapp.h"

#include "canvasview.h"
#include "contentview.h"
#include "filedialogs.h"
#include "icons.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

MireloApp::MireloApp() : window_(std::make_unique<QMainWindow>()) {
    model_.chooseOpenPath = &FileDialogs::chooseImageToOpen;
    model_.chooseSavePath = [this](const QString& title) {
        return FileDialogs::chooseSavePath(model_.documentFolder(), title);
    };
    model_.putOnClipboard = [](const QImage& image) {
        QGuiApplication::clipboard()->setImage(image);
    };
    window_->setWindowIcon(QIcon(Icons::wand(64, QColor(90, 60, 200))));
    content_ = new ContentView(model_, window_.get());
    window_->setCentralWidget(content_);
    window_->addToolBar(content_->toolbar);
    // No menu to hide the toolbar with.
    window_->setContextMenuPolicy(Qt::PreventContextMenu);
    window_->installEventFilter(this);
    createMenus();
    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, this, &MireloApp::updateActions);
    connect(&model_, &MireloModel::documentNameChanged, this, &MireloApp::updateTitle);
    connect(&model_, &MireloModel::unsavedResultChanged, this, &MireloApp::updateTitle);
#if QT_CONFIG(sessionmanager)
    // Logging out asks as closing the window does; a refusal cancels the logout.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& session) {
        if (session.allowsInteraction()) {
            const bool agreed = content_->mayDiscard(QStringLiteral("quitting"));
            session.release();
            if (!agreed)
                session.cancel();
        }
    });
#endif
    updateActions();
    updateTitle();
    placeWindow();
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
    openAction = item(fileMenu, QStringLiteral("Open…"), {Qt::CTRL | Qt::Key_O},
                      [this] { content_->open(); });
    saveAction = item(fileMenu, QStringLiteral("Save as PNG…"), {Qt::CTRL | Qt::Key_S},
                      [m] { m->savePNG(); });
    saveFullSizeAction = item(fileMenu, QStringLiteral("Save Full Size as PNG…"),
                              {Qt::CTRL | Qt::SHIFT | Qt::Key_S}, [m] { m->savePNGFullSize(); });
    fileMenu->addSeparator();
    // Linux has no application menu, so Quit lives here.
    quitAction = item(fileMenu, "Quit", {QKeySequence::Quit}, [this] { window_->close(); });

    editMenu = bar->addMenu("&Edit");
    undoAction = item(editMenu, "Undo", {Qt::CTRL | Qt::Key_Z}, [m] { m->undo(); });
    redoAction = item(editMenu, "Redo", {Qt::CTRL | Qt::SHIFT | Qt::Key_Z, Qt::CTRL | Qt::Key_Y},
                      [m] { m->redo(); });
    editMenu->addSeparator();
    copyAction = item(editMenu, "Copy", {Qt::CTRL | Qt::Key_C}, [m] { m->copyToClipboard(); });
    pasteAction = item(editMenu, "Paste", {Qt::CTRL | Qt::Key_V}, [this] { paste(); });

    imageMenu = bar->addMenu("&Image");
    eraseAction =
        item(imageMenu, "Erase Masked Area", {Qt::CTRL | Qt::Key_Return}, [m] { m->erase(); });
    // How erases fill thick holes; off at every start, so erases use the standard fill.
    textureAction = item(imageMenu, "Preserve Texture", {}, [m](bool on) {
        m->setFillMethod(on ? Inpainter::Method::Texture : Inpainter::Method::Standard);
    });
    textureAction->setCheckable(true);
    clearAction =
        item(imageMenu, "Clear Mask", {Qt::CTRL | Qt::Key_Backspace}, [m] { m->clearMask(); });
    revertAction = item(imageMenu, "Revert to Original", {}, [m] { m->revertToOriginal(); });
    imageMenu->addSeparator();
    // "+" needs Shift on many keyboards; Ctrl+= is the same key without it.
    zoomInAction = item(imageMenu, "Zoom In", {Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal},
                        [m] { m->zoomIn(); });
    zoomOutAction = item(imageMenu, "Zoom Out", {Qt::CTRL | Qt::Key_Minus}, [m] { m->zoomOut(); });
    fitAction = item(imageMenu, "Fit to Window", {Qt::CTRL | Qt::Key_0}, [m] { m->zoomToFit(); });
    actualSizeAction = item(imageMenu, "Actual Size", {Qt::CTRL | Qt::Key_1},
                            [this] { content_->canvas->zoomToActualSize(); });

    // A menu closed with Escape leaves the keyboard with the menu bar, which would take
    // "[", "]" and Space from the canvas.
    for (QMenu* menu : {fileMenu, editMenu, imageMenu})
        connect(menu, &QMenu::aboutToHide, this, [this] { refocusCanvas(false); });
}

void MireloApp::updateActions() {
    const MireloModel& m = model_;
    const bool busy = m.isBusy();
    undoAction->setEnabled(m.canUndo() && !busy);
    redoAction->setEnabled(m.canRedo() && !busy);
    saveAction->setEnabled(m.hasImage());
    saveFullSizeAction->setEnabled(m.hasImage() && m.scaledDown());
    copyAction->setEnabled(m.hasImage());
    eraseAction->setEnabled(m.maskHasPaint() && !busy);
    clearAction->setEnabled(m.maskHasPaint() && !busy);
    revertAction->setEnabled(m.edited() && !busy);
    textureAction->setChecked(m.fillMethod() == Inpainter::Method::Texture);
}

void MireloApp::updateTitle() {
    // A "[*]" of the file's own name is doubled, which Qt shows as written.
    QString name = model_.documentName();
    name.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    window_->setWindowTitle(name.isEmpty() ? QStringLiteral("Mirelo")
                                           : name + QStringLiteral("[*] — Mirelo"));
    window_->setWindowModified(model_.unsavedResult());
}

bool MireloApp::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() && event->type() == QEvent::Close &&
        !content_->mayDiscard(QStringLiteral("quitting"))) {
        event->ignore();
        return true;
    }
    // A modal dialog has closed. Without a window manager nothing makes the window
    // active again, and its shortcuts would not work until it is clicked.
    if (watched == window_.get() && event->type() == QEvent::WindowUnblocked)
        refocusCanvas(true);
    return QObject::eventFilter(watched, event);
}

void MireloApp::refocusCanvas(bool activate) {
    // Once the menu or dialog is done with the keyboard; not while another one is open.
    QTimer::singleShot(0, this, [this, activate] {
        if (QApplication::activeModalWidget() || QApplication::activePopupWidget() ||
            !window_->isVisible())
            return;
        if (activate)
            window_->activateWindow();
        content_->canvas->setFocus(Qt::OtherFocusReason);
    });
}

void MireloApp::placeWindow() {
    const QRect free = window_->screen()->availableGeometry();
    const QSize size = (free.size() * 0.8).expandedTo(window_->minimumSizeHint());
    window_->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, free));
}

void MireloApp::openFile(const QString& path) {
    if (content_->mayDiscard(QStringLiteral("opening another picture")))
        model_.load(QUrl::fromLocalFile(path));
}

void MireloApp::paste() {
    if (content_->handleDrop(QApplication::clipboard()->mimeData(), true))
        return;
    // Nothing readable: the load of no bytes reports it as any unreadable image.
    model_.load(QByteArray());
}
