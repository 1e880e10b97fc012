#pragma once

#include <QWidget>

class CanvasView;
class ElidedLabel;
class MireloModel;
class QLabel;
class QPushButton;
class QSlider;

// The bar below the canvas: the brush size and feather sliders with their read-outs,
// "Clear mask", the picture's size ("3072 × 2304", or "3072 × 2304 of 8000 × 6000" for a
// photo scaled down on opening), its scale on screen ("100 %" shows one image pixel per
// point) and the status_ text, whose message, when too long for the bar, is cut short and
// whole in its tooltip. It follows the model and the canvas's scale. Its controls are
// named by their roles: "brushSlider", "brushReadout", "featherSlider", "featherReadout",
// "clearButton", "sizeReadout", "zoomReadout", "status".
class BottomBar : public QWidget {
    Q_OBJECT
public:
    BottomBar(MireloModel& model, const CanvasView& canvas, QWidget* parent);

    // Recomputes every control from the model.
    void refresh();

private:
    MireloModel& model_;
    const CanvasView& canvas_;
    QSlider* brushSlider_ = nullptr;
    QLabel* brushReadout_ = nullptr;
    QSlider* featherSlider_ = nullptr;
    QLabel* featherReadout_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    QLabel* sizeReadout_ = nullptr;
    QLabel* zoomReadout_ = nullptr;
    ElidedLabel* status_ = nullptr;
};
