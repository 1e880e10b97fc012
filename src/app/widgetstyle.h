#pragma once

#include <QFont>
#include <QPalette>
#include <QWidget>

// Small text and secondary colour, as the bars and panels use them.
inline void setPixelSize(QWidget* w, int px) {
    QFont f = w->font();
    f.setPixelSize(px);
    w->setFont(f);
}

inline void setSecondary(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
    w->setPalette(p);
}
