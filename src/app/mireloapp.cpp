#include "mireloapp.h"

#include "canvasview.h"
#include "commands.h"
#include "contentview.h"
#include "documentcontroller.h"
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
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

MireloApp::MireloApp() : window_(std::make_unique<QMainWindow>()) {
    model_.chooseOpenPath = &FileDialogs::chooseImageToOpen;
    model_.chooseSavePath = [this](const QString& title, Imaging::FileType type) {
        return FileDialogs::chooseSavePath(model_.documentFolder(), title, type);
    };
    model_.putOnClipboard = [](const QImage& image) {
        QGuiApplication::clipboard()->setImage(image);
    };
    window_->setWindowIcon(QIcon(Icons::wand(64, QColor(90, 60, 200))));
    document_ = new DocumentController(model_, window_.get());
    content_ = new ContentView(model_, *document_, window_.get());
    window_->setCentralWidget(content_);
    window_->addToolBar(&content_->toolbar());
    // No menu to hide the toolbar with.
    window_->setContextMenuPolicy(Qt::PreventContextMenu);
    window_->installEventFilter(this);
    createCommands();
    connect(&model_, &MireloModel::documentNameChanged, this, &MireloApp::updateTitle);
    connect(&model_, &MireloModel::unsavedResultChanged, this, &MireloApp::updateTitle);
#if QT_CONFIG(sessionmanager)
    // Logging out asks as closing the window does; a refusal cancels the logout.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& session) {
        if (session.allowsInteraction()) {
            const bool agreed = document_->mayDiscard(QStringLiteral("quitting"));
            session.release();
            if (!agreed)
                session.cancel();
        }
    });
#endif
    commands_->refresh();
    updateTitle();
    placeWindow();
}

MireloApp::~MireloApp() = default;

void MireloApp::createCommands() {
    Commands::Handlers handlers;
    handlers.open = [this] { document_->open(); };
    handlers.paste = [this] { document_->paste(QApplication::clipboard()->mimeData()); };
    handlers.quit = [this] { window_->close(); };
    handlers.actualSize = [this] { content_->canvas().zoomToActualSize(); };
    commands_ = new Commands(model_, std::move(handlers), this);
    const std::vector<QMenu*> menus = commands_->addMenus(window_->menuBar());
    commands_->fillToolbar(&content_->toolbar());
    // A menu closed with Escape leaves the keyboard with the menu bar, which would take
    // "[", "]" and Space from the canvas.
    for (QMenu* menu : menus)
        connect(menu, &QMenu::aboutToHide, this, [this] { refocusCanvas(false); });
    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, commands_, &Commands::refresh);
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
        !document_->mayDiscard(QStringLiteral("quitting"))) {
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
        content_->canvas().setFocus(Qt::OtherFocusReason);
    });
}

void MireloApp::placeWindow() {
    const QRect free = window_->screen()->availableGeometry();
    const QSize size = (free.size() * 0.8).expandedTo(window_->minimumSizeHint());
    window_->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, free));
}
