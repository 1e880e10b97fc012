#include "contentview.h"

#include "bottombar.h"
#include "canvasview.h"
#include "documentcontroller.h"
#include "icons.h"
#include "mirelomodel.h"
#include "widgetstyle.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// Sliders are integer-valued: the brush size in hundredths of a pixel, the feather in
// thousandths, so the model keeps its exact value and the handle lands where it belongs.
constexpr int kProgressScale = 1000;

// The erase progress panel's background: a rounded, nearly opaque card.
class Card : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor c = palette().color(QPalette::Window);
        c.setAlphaF(0.9f);
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawRoundedRect(QRectF(rect()), 12, 12);
    }
};

// The dashed outline shown while an acceptable drag hovers over the canvas area. It takes
// no mouse events: they reach the canvas below.
class DropHighlight : public QWidget {
public:
    explicit DropHighlight(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        constexpr double kLine = 3.0;
        QPen pen(palette().color(QPalette::Highlight), kLine, Qt::CustomDashLine, Qt::FlatCap,
                 Qt::MiterJoin);
        pen.setMiterLimit(10);
        pen.setDashPattern({8.0 / kLine, 8.0 / kLine}); // Qt counts dashes in pen widths
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        // Inset by 10, with the stroke inside the outline.
        const QRectF r = QRectF(rect()).adjusted(10 + kLine / 2, 10 + kLine / 2, -10 - kLine / 2,
                                                 -10 - kLine / 2);
        p.drawRoundedRect(r, 10 - kLine / 2, 10 - kLine / 2);
    }
};

} // namespace

ContentView::~ContentView() {
    if (waitCursor_)
        QGuiApplication::restoreOverrideCursor();
}

ContentView::ContentView(MireloModel& model, DocumentController& document, QWidget* parent)
    : QWidget(parent), model_(model), document_(document) {
    setMinimumSize(860, 560);

    canvasArea = new QWidget(this);
    canvasArea->setAcceptDrops(true);
    canvasArea->installEventFilter(this);
    auto* stack = new QGridLayout(canvasArea);
    stack->setContentsMargins(0, 0, 0, 0);
    canvas = new CanvasView(model_, canvasArea);
    placeholder = buildPlaceholder();
    busyOverlay = buildBusyOverlay();
    dropHighlight = new DropHighlight(canvasArea);
    // Later layers lie on top.
    stack->addWidget(canvas, 0, 0);
    stack->addWidget(placeholder, 0, 0, Qt::AlignCenter);
    stack->addWidget(busyOverlay, 0, 0, Qt::AlignCenter);
    stack->addWidget(dropHighlight, 0, 0);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(canvasArea, 1);
    column->addWidget(divider);
    bottomBar = new BottomBar(model_, *canvas, this);
    column->addWidget(bottomBar);

    buildToolbar();
    // The canvas takes the keys ("[" and "]") from the start, not only after a click.
    setFocusProxy(canvas);
    canvas->setFocus();

    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, this, &ContentView::refresh);
    refresh();
}

void ContentView::buildToolbar() {
    toolbar = new QToolBar(tr("Toolbar"), this);
    toolbar->setObjectName("toolbar");
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    // The commands fill it; none of its items can hide it.
    toolbar->toggleViewAction()->setVisible(false);
    toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
}

QWidget* ContentView::buildPlaceholder() {
    auto* box = new QWidget(canvasArea);
    auto* v = new QVBoxLayout(box);
    v->setSpacing(12);
    v->setAlignment(Qt::AlignCenter);
    auto* icon = new QLabel(box);
    icon->setPixmap(Icons::wand(54, palette().color(QPalette::PlaceholderText)));
    icon->setAlignment(Qt::AlignCenter);
    auto* title = new QLabel("Drop a photo here", box);
    setPixelSize(title, 17);
    title->setAlignment(Qt::AlignCenter);
    auto* hint = new QLabel("or click Open to choose one", box);
    hint->setAlignment(Qt::AlignCenter);
    setSecondary(hint);
    placeholderOpen = new QPushButton(QStringLiteral("Open…"), box);
    placeholderOpen->setMinimumHeight(30);
    placeholderOpen->setMinimumWidth(90);
    // Buttons and sliders leave the keyboard focus with the canvas, for "[" and "]".
    placeholderOpen->setFocusPolicy(Qt::NoFocus);
    connect(placeholderOpen, &QPushButton::clicked, this, [this] { document_.open(); });
    for (QWidget* w :
         {static_cast<QWidget*>(icon), static_cast<QWidget*>(title), static_cast<QWidget*>(hint)})
        v->addWidget(w, 0, Qt::AlignHCenter);
    v->addWidget(placeholderOpen, 0, Qt::AlignHCenter);
    return box;
}

QWidget* ContentView::buildBusyOverlay() {
    auto* card = new Card(canvasArea);
    auto* v = new QVBoxLayout(card);
    v->setContentsMargins(20, 20, 20, 20);
    v->setSpacing(10);
    progressBar = new QProgressBar(card);
    progressBar->setRange(0, kProgressScale);
    progressBar->setTextVisible(false);
    progressBar->setFixedWidth(220);
    progressText = new QLabel(card);
    progressText->setAlignment(Qt::AlignCenter);
    setPixelSize(progressText, 12);
    v->addWidget(progressBar);
    v->addWidget(progressText);
    return card;
}

void ContentView::refresh() {
    const MireloModel& m = model_;
    const bool image = m.hasImage();
    const bool busy = m.isBusy();

    placeholder->setVisible(!image);
    busyOverlay->setVisible(busy);
    dropHighlight->setVisible(dropTargeted_);
    // Loads and saves report no progress: the bar then runs as a busy indicator, and the
    // pointer shows the wait cursor wherever it is.
    const MireloModel::Activity activity = m.activity();
    const bool loadingOrSaving =
        activity == MireloModel::Activity::Opening || activity == MireloModel::Activity::Saving;
    if (loadingOrSaving != waitCursor_) {
        waitCursor_ = loadingOrSaving;
        if (waitCursor_)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QGuiApplication::restoreOverrideCursor();
    }
    if (loadingOrSaving) {
        progressBar->setRange(0, 0);
        progressText->setText(activity == MireloModel::Activity::Opening
                                  ? QStringLiteral("Opening…")
                                  : QStringLiteral("Saving…"));
    } else {
        progressBar->setRange(0, kProgressScale);
        progressBar->setValue(int(m.progress() * kProgressScale));
        // A save asked for before closing or replacing the document waits for the erase.
        progressText->setText((m.saveWaitsForErase() ? QStringLiteral("Finishing the erase… ")
                                                     : QStringLiteral("Erasing… ")) +
                              QString::number(int(m.progress() * 100.0)) + "%");
    }
}

void ContentView::setDropTargeted(bool on) {
    dropTargeted_ = on;
    dropHighlight->setVisible(on);
}

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched != canvasArea)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter: {
        auto* e = static_cast<QDragEnterEvent*>(event);
        if (!DocumentController::acceptable(e->mimeData())) {
            e->ignore();
            return true;
        }
        e->acceptProposedAction();
        setDropTargeted(true);
        return true;
    }
    case QEvent::DragMove:
        static_cast<QDragMoveEvent*>(event)->acceptProposedAction();
        return true;
    case QEvent::DragLeave:
        setDropTargeted(false);
        return true;
    case QEvent::Drop: {
        auto* e = static_cast<QDropEvent*>(event);
        setDropTargeted(false);
        if (document_.drop(e->mimeData()))
            e->acceptProposedAction();
        else
            e->ignore();
        return true;
    }
    default:
        return QWidget::eventFilter(watched, event);
    }
}
