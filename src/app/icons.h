#pragma once

#include <QIcon>

class QStyle;

// Toolbar and placeholder icons: the desktop's icon theme where it has them, otherwise
// pictures drawn here, so a button is never blank (there is no theme at all under the
// offscreen platform, and the icon set varies between desktops).
namespace Icons {

enum class Name {
    Open,
    Undo,
    Redo,
    Compare,
    ZoomOut,
    Fit,
    ZoomIn,
    Save,
    Copy,
    Erase,
    Brush,
    Clear,
};

QIcon icon(Name name, const QStyle* style);
// The wand of the Erase button, drawn at the given pixel size in the given colour: the
// placeholder's large picture and the application icon.
QPixmap wand(int size, const QColor& colour);

} // namespace Icons
