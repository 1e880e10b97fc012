#pragma once

#include <QLabel>

// A one-line label that gives up width when space runs short: it shows as much of its
// text as fits, ending in "…", and then carries the whole text in its tooltip. text()
// stays the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // toolTip, when given, is shown whether or not the text is cut short, in place of it.
    void setFullText(const QString& text, const QString& toolTip = {});
    bool isElided() const;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();

    QString toolTip_;
};
