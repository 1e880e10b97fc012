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

    canvasArea_ = new QWidget(this);
    canvasArea_->setAcceptDrops(true);
    canvasArea_->installEventFilter(this);
    auto* stack = new QGridLayout(canvasArea_);
    stack->setContentsMargins(0, 0, 0, 0);
    canvas_ = new CanvasView(model_, canvasArea_);
    placeholder_ = buildPlaceholder();
    busyOverlay_ = buildBusyOverlay();
    dropHighlight_ = new DropHighlight(canvasArea_);
    // Later layers lie on top.
    canvasArea_->setObjectName("canvasArea");
    placeholder_->setObjectName("placeholder");
    busyOverlay_->setObjectName("busyOverlay");
    dropHighlight_->setObjectName("dropHighlight");
    stack->addWidget(canvas_, 0, 0);
    stack->addWidget(placeholder_, 0, 0, Qt::AlignCenter);
    stack->addWidget(busyOverlay_, 0, 0, Qt::AlignCenter);
    stack->addWidget(dropHighlight_, 0, 0);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(canvasArea_, 1);
    column->addWidget(divider);
    bottomBar_ = new BottomBar(model_, *canvas_, this);
    bottomBar_->setObjectName("bottomBar");
    column->addWidget(bottomBar_);

    buildToolbar();
    // The canvas takes the keys ("[" and "]") from the start, not only after a click.
    setFocusProxy(canvas_);
    canvas_->setFocus();

    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, this, &ContentView::refresh);
    refresh();
}

void ContentView::buildToolbar() {
    toolbar_ = new QToolBar(tr("Toolbar"), this);
    toolbar_->setObjectName("toolbar");
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    // The commands fill it; none of its items can hide it.
    toolbar_->toggleViewAction()->setVisible(false);
    toolbar_->setContextMenuPolicy(Qt::PreventContextMenu);
}

QWidget* ContentView::buildPlaceholder() {
    auto* box = new QWidget(canvasArea_);
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
    placeholderOpen_ = new QPushButton(QStringLiteral("Open…"), box);
    placeholderOpen_->setObjectName("placeholderOpen");
    placeholderOpen_->setMinimumHeight(30);
    placeholderOpen_->setMinimumWidth(90);
    // Buttons and sliders leave the keyboard focus with the canvas, for "[" and "]".
    placeholderOpen_->setFocusPolicy(Qt::NoFocus);
    connect(placeholderOpen_, &QPushButton::clicked, this, [this] { document_.open(); });
    for (QWidget* w :
         {static_cast<QWidget*>(icon), static_cast<QWidget*>(title), static_cast<QWidget*>(hint)})
        v->addWidget(w, 0, Qt::AlignHCenter);
    v->addWidget(placeholderOpen_, 0, Qt::AlignHCenter);
    return box;
}

QWidget* ContentView::buildBusyOverlay() {
    auto* card = new Card(canvasArea_);
    auto* v = new QVBoxLayout(card);
    v->setContentsMargins(20, 20, 20, 20);
    v->setSpacing(10);
    progressBar_ = new QProgressBar(card);
    progressBar_->setRange(0, kProgressScale);
    progressBar_->setObjectName("progressBar");
    progressBar_->setTextVisible(false);
    progressBar_->setFixedWidth(220);
    progressText_ = new QLabel(card);
    progressText_->setObjectName("progressText");
    progressText_->setAlignment(Qt::AlignCenter);
    setPixelSize(progressText_, 12);
    v->addWidget(progressBar_);
    v->addWidget(progressText_);
    return card;
}

void ContentView::refresh() {
    const MireloModel& m = model_;
    const bool image = m.hasImage();
    const bool busy = m.isBusy();

    placeholder_->setVisible(!image);
    busyOverlay_->setVisible(busy);
    dropHighlight_->setVisible(dropTargeted_);
    // Loads and working-size saves report no progress: the bar then runs as a busy
    // indicator, and the pointer shows the wait cursor wherever it is.
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
        progressBar_->setRange(0, 0);
        progressText_->setText(activity == MireloModel::Activity::Opening
                                   ? QStringLiteral("Opening…")
                                   : QStringLiteral("Saving…"));
    } else {
        progressBar_->setRange(0, kProgressScale);
        progressBar_->setValue(int(m.progress() * kProgressScale));
        // A save asked for before closing or replacing the document waits for the erase.
        const QString doing = activity == MireloModel::Activity::SavingFullSize
                                  ? QStringLiteral("Saving at full size… ")
                              : m.saveWaitsForErase() ? QStringLiteral("Finishing the erase… ")
                                                      : QStringLiteral("Erasing… ");
        progressText_->setText(doing + QString::number(int(m.progress() * 100.0)) + "%");
    }
}

void ContentView::setDropTargeted(bool on) {
    dropTargeted_ = on;
    dropHighlight_->setVisible(on);
}

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched != canvasArea_)
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
