#include "commands.h"

#include "icons.h"
#include "mirelomodel.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

namespace {

QString shortcutText(const QKeySequence& keys) { return keys.toString(QKeySequence::NativeText); }

// The toolbar's zoom buttons have no tooltip; a QAction would show its title otherwise.
class NoToolTip : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject*, QEvent* event) override { return event->type() == QEvent::ToolTip; }
};

} // namespace

Commands::Commands(MireloModel& model, Handlers handlers, QObject* parent)
    : QObject(parent), model_(model) {
    MireloModel* m = &model_;
    const auto action = [this](const char* name, const QString& text, QList<QKeySequence> keys,
                               auto slot) {
        auto* a = new QAction(text, this);
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcuts(keys);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    // A toolbar item: its title and tooltip there, its icon there only.
    const auto onToolbar = [](QAction* a, Icons::Name icon, const QString& title,
                              const QString& tip) {
        a->setIcon(Icons::icon(icon, QApplication::style()));
        a->setIconVisibleInMenu(false);
        a->setIconText(title);
        a->setToolTip(tip.isEmpty() ? title : tip);
    };

    open = action("open", QStringLiteral("Open…"), {Qt::CTRL | Qt::Key_O}, handlers.open);
    onToolbar(open, Icons::Name::Open, "Open",
              "Open an image (" + shortcutText(Qt::CTRL | Qt::Key_O) + ")");
    save = action("save", QStringLiteral("Save as PNG…"), {Qt::CTRL | Qt::Key_S},
                  [m] { m->savePNG(); });
    onToolbar(save, Icons::Name::Save, "Save PNG",
              "Save as PNG (" + shortcutText(Qt::CTRL | Qt::Key_S) + ")");
    saveFullSize = action("saveFullSize", QStringLiteral("Save Full Size as PNG…"),
                          {Qt::CTRL | Qt::SHIFT | Qt::Key_S}, [m] { m->savePNGFullSize(); });
    saveFullSizeJpeg = action("saveFullSizeJpeg", QStringLiteral("Save Full Size as JPEG…"), {},
                              [m] { m->saveJPEGFullSize(); });
    quit = action("quit", "Quit", {QKeySequence::Quit}, handlers.quit);

    undo = action("undo", "Undo", {Qt::CTRL | Qt::Key_Z}, [m] { m->undo(); });
    onToolbar(undo, Icons::Name::Undo, "Undo", "Undo (" + shortcutText(Qt::CTRL | Qt::Key_Z) + ")");
    redo = action("redo", "Redo", {Qt::CTRL | Qt::SHIFT | Qt::Key_Z, Qt::CTRL | Qt::Key_Y},
                  [m] { m->redo(); });
    onToolbar(redo, Icons::Name::Redo, "Redo",
              "Redo (" + shortcutText(Qt::CTRL | Qt::SHIFT | Qt::Key_Z) + ")");
    copy = action("copy", "Copy", {Qt::CTRL | Qt::Key_C}, [m] { m->copyToClipboard(); });
    onToolbar(copy, Icons::Name::Copy, "Copy", "Copy the result to the clipboard");
    paste = action("paste", "Paste", {Qt::CTRL | Qt::Key_V}, handlers.paste);

    erase = action("erase", "Erase Masked Area", {Qt::CTRL | Qt::Key_Return}, [m] { m->erase(); });
    onToolbar(erase, Icons::Name::Erase, "Erase",
              "Erase the masked area (" + shortcutText(Qt::CTRL | Qt::Key_Return) + ")");
    // How erases fill thick holes; off at every start, so erases use the standard fill.
    texture = action("texture", "Preserve Texture", {}, [m](bool on) {
        m->setFillMethod(on ? Inpainter::Method::Texture : Inpainter::Method::Standard);
    });
    texture->setCheckable(true);
    clearMask =
        action("clearMask", "Clear Mask", {Qt::CTRL | Qt::Key_Backspace}, [m] { m->clearMask(); });
    revert = action("revert", "Revert to Original", {}, [m] { m->revertToOriginal(); });
    // "+" needs Shift on many keyboards; Ctrl+= is the same key without it.
    zoomIn = action("zoomIn", "Zoom In", {Qt::CTRL | Qt::Key_Plus, Qt::CTRL | Qt::Key_Equal},
                    [m] { m->zoomIn(); });
    zoomOut = action("zoomOut", "Zoom Out", {Qt::CTRL | Qt::Key_Minus}, [m] { m->zoomOut(); });
    fit = action("fit", "Fit to Window", {Qt::CTRL | Qt::Key_0}, [m] { m->zoomToFit(); });
    actualSize = action("actualSize", "Actual Size", {Qt::CTRL | Qt::Key_1}, handlers.actualSize);

    // triggered, not toggled: only the user's clicks write the model.
    compare = action("compare", "Compare", {}, [m](bool on) { m->setCompare(on); });
    compare->setCheckable(true);
    onToolbar(compare, Icons::Name::Compare, "Compare", "Before / after comparison");
    toolbarZoomOut = action("toolbarZoomOut", "Zoom Out", {}, [m] { m->zoomOut(); });
    onToolbar(toolbarZoomOut, Icons::Name::ZoomOut, "Zoom Out", {});
    toolbarFit = action("toolbarFit", "Fit", {}, [m] { m->zoomToFit(); });
    onToolbar(toolbarFit, Icons::Name::Fit, "Fit",
              "Fit to window (" + shortcutText(Qt::CTRL | Qt::Key_0) + ")");
    toolbarZoomIn = action("toolbarZoomIn", "Zoom In", {}, [m] { m->zoomIn(); });
    onToolbar(toolbarZoomIn, Icons::Name::ZoomIn, "Zoom In", {});

    const auto picture = [](const MireloModel& m) { return m.hasImage(); };
    const auto undoable = [](const MireloModel& m) { return m.canUndo() && !m.isBusy(); };
    const auto redoable = [](const MireloModel& m) { return m.canRedo() && !m.isBusy(); };
    const auto painted = [](const MireloModel& m) { return m.maskHasPaint() && !m.isBusy(); };
    rules_ = {
        {save, picture},
        {saveFullSize, [](const MireloModel& m) { return m.hasImage() && m.scaledDown(); }},
        {saveFullSizeJpeg, [](const MireloModel& m) { return m.hasImage() && m.scaledDown(); }},
        {undo, undoable},
        {redo, redoable},
        {copy, picture},
        {erase, painted},
        {clearMask, painted},
        {revert, [](const MireloModel& m) { return m.edited() && !m.isBusy(); }},
        {compare, [](const MireloModel& m) { return m.edited(); }},
        {toolbarZoomOut, picture},
        {toolbarFit, picture},
        {toolbarZoomIn, picture},
    };
}

std::vector<QMenu*> Commands::addMenus(QMenuBar* bar) const {
    QMenu* file = bar->addMenu("&File");
    file->setObjectName("fileMenu");
    file->addActions({open, save, saveFullSize, saveFullSizeJpeg});
    file->addSeparator();
    // Linux has no application menu, so Quit lives here.
    file->addAction(quit);
    QMenu* edit = bar->addMenu("&Edit");
    edit->setObjectName("editMenu");
    edit->addActions({undo, redo});
    edit->addSeparator();
    edit->addActions({copy, paste});
    QMenu* image = bar->addMenu("&Image");
    image->setObjectName("imageMenu");
    image->addActions({erase, texture, clearMask, revert});
    image->addSeparator();
    image->addActions({zoomIn, zoomOut, fit, actualSize});
    return {file, edit, image};
}

void Commands::fillToolbar(QToolBar* toolbar) const {
    toolbar->addActions(
        {open, undo, redo, compare, toolbarZoomOut, toolbarFit, toolbarZoomIn, save, copy, erase});
    auto* quiet = new NoToolTip(toolbar);
    for (QAction* a : {toolbarZoomOut, toolbarZoomIn})
        if (QWidget* button = toolbar->widgetForAction(a))
            button->installEventFilter(quiet);
}

void Commands::refresh() {
    for (const auto& [action, enabled] : rules_)
        action->setEnabled(enabled(model_));
    compare->setChecked(model_.compare());
    texture->setChecked(model_.fillMethod() == Inpainter::Method::Texture);
}
