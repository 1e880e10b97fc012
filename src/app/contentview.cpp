#include "contentview.h"

#include "canvasview.h"
#include "elidedlabel.h"
#include "icons.h"
#include "mirelomodel.h"

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
constexpr int kBrushScale = 100;
constexpr int kFeatherScale = 1000;
constexpr int kProgressScale = 1000;

const QColor kRed(255, 59, 48);

QString sizeText(QSize size) {
    return QStringLiteral("%1 × %2").arg(size.width()).arg(size.height());
}

void setPixelSize(QWidget* w, int px) {
    QFont f = w->font();
    f.setPixelSize(px);
    w->setFont(f);
}

void setSecondary(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
    w->setPalette(p);
}

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

ContentView::ContentView(MireloModel& model, QWidget* parent) : QWidget(parent), model_(model) {
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
    column->addWidget(buildBottomBar());

    buildToolbar();
    askToSave = [this](const QString& question) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Unsaved Picture"), question,
                        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, window());
        box.setInformativeText(
            QStringLiteral("If you don't save, the erased picture will be lost."));
        box.setDefaultButton(QMessageBox::Save);
        box.setEscapeButton(QMessageBox::Cancel);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    // The canvas takes the keys ("[" and "]") from the start, not only after a click.
    setFocusProxy(canvas);
    canvas->setFocus();

    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, this, &ContentView::refresh);
    connect(canvas, &CanvasView::scaleChanged, this, &ContentView::refresh);
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
    connect(placeholderOpen, &QPushButton::clicked, this, [this] { open(); });
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

QWidget* ContentView::buildBottomBar() {
    bottomBar = new QWidget(this);
    bottomBar->setAutoFillBackground(true);
    auto* row = new QHBoxLayout(bottomBar);
    row->setContentsMargins(14, 9, 14, 9);
    row->setSpacing(18);

    auto group = [&](std::initializer_list<QWidget*> widgets) {
        auto* h = new QHBoxLayout;
        h->setSpacing(8);
        for (QWidget* w : widgets)
            h->addWidget(w);
        row->addLayout(h);
    };
    auto fixedLabel = [&](const QString& text, int width) {
        auto* l = new QLabel(text, bottomBar);
        l->setFixedWidth(width);
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return l;
    };
    auto readout = [&](int width) {
        QLabel* l = fixedLabel(QString(), width);
        setPixelSize(l, 10);
        setSecondary(l);
        return l;
    };

    auto* brushIcon = new QLabel(bottomBar);
    brushIcon->setPixmap(Icons::icon(Icons::Name::Brush, style()).pixmap(14, 14));
    brushSlider = new QSlider(Qt::Horizontal, bottomBar);
    brushSlider->setRange(2 * kBrushScale, 400 * kBrushScale);
    // A click beside the handle moves it by a tenth of the range.
    brushSlider->setPageStep((brushSlider->maximum() - brushSlider->minimum()) / 10);
    brushSlider->setFixedWidth(150);
    brushReadout = readout(46);
    connect(brushSlider, &QSlider::valueChanged, this,
            [this](int v) { model_.setBrushSize(v / double(kBrushScale)); });
    group({brushIcon, fixedLabel("Brush", 38), brushSlider, brushReadout});

    featherSlider = new QSlider(Qt::Horizontal, bottomBar);
    featherSlider->setRange(0, kFeatherScale);
    featherSlider->setPageStep(kFeatherScale / 10);
    featherSlider->setFixedWidth(130);
    featherReadout = readout(36);
    connect(featherSlider, &QSlider::valueChanged, this,
            [this](int v) { model_.setFeather(v / double(kFeatherScale)); });
    group({fixedLabel("Feather", 50), featherSlider, featherReadout});

    clearButton =
        new QPushButton(Icons::icon(Icons::Name::Clear, style()), "Clear mask", bottomBar);
    connect(clearButton, &QPushButton::clicked, this, [this] { model_.clearMask(); });
    row->addWidget(clearButton);
    for (QWidget* w : {static_cast<QWidget*>(brushSlider), static_cast<QWidget*>(featherSlider),
                       static_cast<QWidget*>(clearButton)})
        w->setFocusPolicy(Qt::NoFocus);
    // Read-outs of their text's own width: only the space after them changes with the zoom.
    for (QLabel** l : {&sizeReadout, &zoomReadout}) {
        *l = new QLabel(bottomBar);
        setPixelSize(*l, 10);
        setSecondary(*l);
        row->addWidget(*l);
    }
    row->addStretch(1);
    // The status text takes what room is left, never the read-outs' own.
    status = new ElidedLabel(bottomBar);
    setPixelSize(status, 12);
    row->addWidget(status);
    return bottomBar;
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

    bottomBar->setEnabled(image && !busy);
    {
        const QSignalBlocker b1(brushSlider), b2(featherSlider);
        brushSlider->setValue(qRound(m.brushSize() * kBrushScale));
        featherSlider->setValue(qRound(m.feather() * kFeatherScale));
    }
    brushReadout->setText(QString::number(int(m.brushSize())) + " px");
    featherReadout->setText(QString::number(int(m.feather() * 100.0)) + "%");
    clearButton->setEnabled(m.maskHasPaint());
    const std::optional<ImageGeometry> g = canvas->imageGeometry();
    if (g && m.current) {
        const QSize working(int(m.current->width()), int(m.current->height()));
        sizeReadout->setText(m.fullSize().isValid() && m.fullSize() != working
                                 ? sizeText(working) + " of " + sizeText(m.fullSize())
                                 : sizeText(working));
        zoomReadout->setText(QString::number(qRound(g->scale * 100.0)) + " %");
    } else {
        sizeReadout->clear();
        zoomReadout->clear();
    }

    QPalette p = status->palette();
    if (m.message())
        status->setFullText(*m.message(), m.messageFile().isEmpty()
                                              ? QString()
                                              : m.messageFile() + ": " + *m.message());
    else
        status->setFullText(m.passes() >= 1 ? QString::number(m.passes()) + " erase pass" +
                                                  (m.passes() == 1 ? "" : "es")
                                            : QString());
    p.setColor(QPalette::WindowText,
               m.messageIsFailure() ? kRed : palette().color(QPalette::PlaceholderText));
    status->setPalette(p);
}

void ContentView::open() {
    model_.openPanel([this] { return mayDiscard(QStringLiteral("opening another picture")); });
}

bool ContentView::mayDiscard(const QString& doing) {
    // A save still being written may be the one that keeps the result: let it finish first.
    model_.waitForSaves();
    // A running erase is a result too, even the first one of a photo.
    if (!model_.unsavedResult() && !model_.eraseRunning())
        return true;
    const QString question = QStringLiteral("Save the erased picture before %1?").arg(doing);
    const QMessageBox::StandardButton answer =
        askToSave ? askToSave(question) : QMessageBox::Cancel;
    switch (answer) {
    case QMessageBox::Save:
        // The file is to hold the erase, so the save waits for it.
        return model_.savePNG(MireloModel::SaveTiming::AfterErase) && model_.waitForSaves();
    case QMessageBox::Discard:
        // Nobody waits for a result that is thrown away; nor may it land on a new picture.
        model_.abandonErase();
        return true;
    default:
        return false;
    }
}

void ContentView::setDropTargeted(bool on) {
    dropTargeted_ = on;
    dropHighlight->setVisible(on);
}

bool ContentView::handleDrop(const QMimeData* mime, bool pasted) {
    if (!mime)
        return false;
    MireloModel* m = &model_;
    const QString doing = pasted ? QStringLiteral("pasting another picture")
                                 : QStringLiteral("opening another picture");
    const QString name = pasted ? QStringLiteral("Pasted image") : QStringLiteral("Dropped image");
    // The question, if any, comes once the drop is over.
    auto post = [this, doing](auto load) {
        QMetaObject::invokeMethod(
            this,
            [this, doing, load] {
                if (mayDiscard(doing))
                    load();
            },
            Qt::QueuedConnection);
    };
    const QList<QUrl> urls = mime->urls();
    if (!urls.isEmpty() && urls.first().isLocalFile()) {
        const QUrl url = urls.first();
        post([m, url] { m->load(url); });
        return true;
    }
    const QList<QByteArray> readable = QImageReader::supportedMimeTypes();
    for (const QString& format : mime->formats()) {
        if (format.startsWith("image/") && readable.contains(format.toLatin1())) {
            const QByteArray bytes = mime->data(format);
            post([m, bytes, name] { m->load(bytes, name); });
            return true;
        }
    }
    if (mime->hasImage()) {
        // Image data without an encoded form Qt reads: the model encodes it in the
        // background.
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        post([m, image, name] { m->load(image, name); });
        return true;
    }
    return false;
}

namespace {

bool acceptable(const QMimeData* mime) {
    if (!mime)
        return false;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile())
            return true;
    if (mime->hasImage())
        return true;
    for (const QString& format : mime->formats())
        if (format.startsWith("image/"))
            return true;
    return false;
}

} // namespace

bool ContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched != canvasArea)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter: {
        auto* e = static_cast<QDragEnterEvent*>(event);
        if (!acceptable(e->mimeData())) {
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
        if (handleDrop(e->mimeData()))
            e->acceptProposedAction();
        else
            e->ignore();
        return true;
    }
    default:
        return QWidget::eventFilter(watched, event);
    }
}
