#include "bottombar.h"

#include "canvasview.h"
#include "elidedlabel.h"
#include "icons.h"
#include "mirelomodel.h"
#include "widgetstyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

namespace {

// Sliders are integer-valued: the brush size in hundredths of a pixel, the feather in
// thousandths, so the model keeps its exact value and the handle lands where it belongs.
constexpr int kBrushScale = 100;
constexpr int kFeatherScale = 1000;

const QColor kRed(255, 59, 48);

QString sizeText(QSize size) {
    return QStringLiteral("%1 × %2").arg(size.width()).arg(size.height());
}

// A horizontal slider of a preferred width that gives way, down to a minimum, when the bar
// is short of room (the smallest window with a long size read-out), so that no control
// overlaps its neighbour.
class BarSlider : public QSlider {
public:
    BarSlider(int preferred, QWidget* parent) : QSlider(Qt::Horizontal, parent), width_(preferred) {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        setMinimumWidth(kMinSliderWidth);
        setMaximumWidth(preferred);
    }
    QSize sizeHint() const override { return {width_, QSlider::sizeHint().height()}; }
    QSize minimumSizeHint() const override {
        return {kMinSliderWidth, QSlider::minimumSizeHint().height()};
    }

private:
    static constexpr int kMinSliderWidth = 80;
    int width_;
};

} // namespace

BottomBar::BottomBar(MireloModel& model, const CanvasView& canvas, QWidget* parent)
    : QWidget(parent), model_(model), canvas_(canvas) {
    setAutoFillBackground(true);
    auto* row = new QHBoxLayout(this);
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
        auto* l = new QLabel(text, this);
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

    auto* brushIcon = new QLabel(this);
    brushIcon->setPixmap(Icons::icon(Icons::Name::Brush, style()).pixmap(14, 14));
    brushSlider_ = new BarSlider(150, this);
    brushSlider_->setRange(2 * kBrushScale, 400 * kBrushScale);
    // A click beside the handle moves it by a tenth of the range.
    brushSlider_->setPageStep((brushSlider_->maximum() - brushSlider_->minimum()) / 10);
    brushReadout_ = readout(46);
    connect(brushSlider_, &QSlider::valueChanged, this,
            [this](int v) { model_.setBrushSize(v / double(kBrushScale)); });
    group({brushIcon, fixedLabel("Brush", 38), brushSlider_, brushReadout_});

    featherSlider_ = new BarSlider(130, this);
    featherSlider_->setRange(0, kFeatherScale);
    featherSlider_->setPageStep(kFeatherScale / 10);
    featherReadout_ = readout(36);
    connect(featherSlider_, &QSlider::valueChanged, this,
            [this](int v) { model_.setFeather(v / double(kFeatherScale)); });
    group({fixedLabel("Feather", 50), featherSlider_, featherReadout_});

    clearButton_ = new QPushButton(Icons::icon(Icons::Name::Clear, style()), "Clear mask", this);
    connect(clearButton_, &QPushButton::clicked, this, [this] { model_.clearMask(); });
    row->addWidget(clearButton_);
    for (QWidget* w : {static_cast<QWidget*>(brushSlider_), static_cast<QWidget*>(featherSlider_),
                       static_cast<QWidget*>(clearButton_)})
        w->setFocusPolicy(Qt::NoFocus);
    // Read-outs of their text's own width: only the space after them changes with the zoom.
    for (QLabel** l : {&sizeReadout_, &zoomReadout_}) {
        *l = new QLabel(this);
        setPixelSize(*l, 10);
        setSecondary(*l);
        row->addWidget(*l);
    }
    row->addStretch(1);
    // The status_ text takes what room is left, never the read-outs' own.
    status_ = new ElidedLabel(this);
    setPixelSize(status_, 12);
    row->addWidget(status_);
    brushSlider_->setObjectName("brushSlider");
    brushReadout_->setObjectName("brushReadout");
    featherSlider_->setObjectName("featherSlider");
    featherReadout_->setObjectName("featherReadout");
    clearButton_->setObjectName("clearButton");
    sizeReadout_->setObjectName("sizeReadout");
    zoomReadout_->setObjectName("zoomReadout");
    status_->setObjectName("status");

    for (const auto signal : MireloModel::publishedSignals())
        connect(&model_, signal, this, &BottomBar::refresh);
    connect(&canvas, &CanvasView::scaleChanged, this, &BottomBar::refresh);
    refresh();
}

void BottomBar::refresh() {
    const MireloModel& m = model_;
    setEnabled(m.hasImage() && !m.isBusy());
    {
        const QSignalBlocker b1(brushSlider_), b2(featherSlider_);
        brushSlider_->setValue(qRound(m.brushSize() * kBrushScale));
        featherSlider_->setValue(qRound(m.feather() * kFeatherScale));
    }
    brushReadout_->setText(QString::number(int(m.brushSize())) + " px");
    featherReadout_->setText(QString::number(int(m.feather() * 100.0)) + "%");
    clearButton_->setEnabled(m.maskHasPaint());
    const std::optional<ImageGeometry> g = canvas_.imageGeometry();
    if (g && m.current()) {
        const QSize working(int(m.current()->width()), int(m.current()->height()));
        sizeReadout_->setText(m.fullSize().isValid() && m.fullSize() != working
                                  ? sizeText(working) + " of " + sizeText(m.fullSize())
                                  : sizeText(working));
        zoomReadout_->setText(QString::number(qRound(g->scale * 100.0)) + " %");
    } else {
        sizeReadout_->clear();
        zoomReadout_->clear();
    }

    QPalette p = status_->palette();
    if (m.message())
        status_->setFullText(*m.message(), m.messageFile().isEmpty()
                                               ? QString()
                                               : m.messageFile() + ": " + *m.message());
    else
        status_->setFullText(m.passes() >= 1 ? QString::number(m.passes()) + " erase pass" +
                                                   (m.passes() == 1 ? "" : "es")
                                             : QString());
    p.setColor(QPalette::WindowText,
               m.messageIsFailure() ? kRed : palette().color(QPalette::PlaceholderText));
    status_->setPalette(p);
}
