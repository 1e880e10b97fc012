// The window as a user meets it: enabled states of menus and toolbar through a session,
// the bottom bar's read-outs and status text, the overlays, drops and paste.
#include "../testsupport.h"
#include "bottombar.h"
#include "canvasview.h"
#include "commands.h"
#include "contentview.h"
#include "documentcontroller.h"
#include "elidedlabel.h"
#include "imaging.h"
#include "inpainter.h"
#include "mireloapp.h"
#include "mirelomodel.h"

#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

namespace {

// The named child of root, which must exist.
template <typename T> T* child(QObject& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child named %s", name);
    return found;
}

QByteArray pngBytes(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 5) & 255, (y * 3) & 255, 90));
    QPainter(&img).fillRect(w / 3, h / 3, w / 3, h / 3, Qt::black);
    return testsupport::encode(img);
}

// Which of the items are enabled, as one string: an upper-case letter for enabled,
// lower-case for disabled.
QString states(std::initializer_list<std::pair<QAction*, char>> items) {
    QString s;
    for (auto [a, letter] : items)
        s += a->isEnabled() ? QChar(letter).toUpper() : QChar(letter);
    return s;
}

QString menuStates(MireloApp& app) {
    const Commands& c = app.commands();
    return states({{c.undo, 'u'},
                   {c.redo, 'r'},
                   {c.open, 'o'},
                   {c.save, 's'},
                   {c.erase, 'e'},
                   {c.clearMask, 'c'},
                   {c.revert, 'v'},
                   {c.zoomIn, 'i'},
                   {c.zoomOut, 'z'},
                   {c.fit, 'f'}});
}

QString toolbarStates(MireloApp& app) {
    const Commands& c = app.commands();
    return states({{c.open, 'o'},
                   {c.undo, 'u'},
                   {c.redo, 'r'},
                   {c.compare, 'm'},
                   {c.toolbarZoomOut, 'z'},
                   {c.toolbarFit, 'f'},
                   {c.toolbarZoomIn, 'i'},
                   {c.save, 's'},
                   {c.copy, 'c'},
                   {c.erase, 'e'}});
}

void paint(MireloModel& m) {
    QVERIFY(m.beginStroke());
    m.mask()->stamp(QPointF(m.current()->width() / 2.0, m.current()->height() / 2.0), 20, 0.35);
    m.endStroke();
}

// Paints a disc and starts an erase; returns what the engine makes of the picture and the
// paint.
PixelImage startErase(MireloModel& m, QPointF at) {
    m.processors = 1;
    if (!m.beginStroke())
        return {};
    m.mask()->stamp(at, 15, 0.35);
    m.endStroke();
    PixelImage expected =
        Inpainter::run(*m.current(), m.mask()->bytes(), {}, m.processors, m.fillMethod());
    m.erase();
    return expected;
}

// Paints and erases, and waits for the result.
void erase(MireloModel& m) {
    startErase(m, {m.current()->width() / 2.0, m.current()->height() / 2.0});
    QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);
}

QUrl writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return QUrl::fromLocalFile(f.fileName());
}

} // namespace

class TestApp : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { Imaging::configureImageReader(); }

    void enabledStatesThroughASession() {
        MireloApp app;
        auto* bottomBar = child<QWidget>(app.content(), "bottomBar");
        auto* placeholder = child<QWidget>(app.content(), "placeholder");
        auto* clearButton = child<QPushButton>(app.content(), "clearButton");
        auto* busyOverlay = child<QWidget>(app.content(), "busyOverlay");
        auto* status = child<ElidedLabel>(app.content(), "status");
        MireloModel& m = app.model();
        m.processors = 1;

        // Empty: only Open and the menu's zoom items.
        QCOMPARE(menuStates(app), "urOsecvIZF");
        QCOMPARE(toolbarStates(app), "Ourmzfisce");
        QVERIFY(!bottomBar->isEnabled());
        QVERIFY(!placeholder->isHidden());

        testsupport::loadNow(m, pngBytes(200, 150));
        QVERIFY(m.hasImage());
        QCOMPARE(menuStates(app), "urOSecvIZF");
        QCOMPARE(toolbarStates(app), "OurmZFISCe");
        QVERIFY(bottomBar->isEnabled());
        QVERIFY(!clearButton->isEnabled());
        QVERIFY(placeholder->isHidden());

        paint(m);
        QCOMPARE(menuStates(app), "UrOSECvIZF");
        QCOMPARE(toolbarStates(app), "OUrmZFISCE");
        QVERIFY(clearButton->isEnabled());

        m.erase();
        QVERIFY(m.isBusy());
        QCOMPARE(menuStates(app), "urOSecvIZF");
        QCOMPARE(toolbarStates(app), "OurmZFISCe");
        QVERIFY(!bottomBar->isEnabled());
        QVERIFY(!busyOverlay->isHidden());

        QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);
        QVERIFY(busyOverlay->isHidden());
        QCOMPARE(menuStates(app), "UrOSecVIZF");
        QCOMPARE(toolbarStates(app), "OUrMZFISCe");
        QCOMPARE(status->text(), "1 erase pass");

        // Reverting in compare mode leaves it: nothing is left to compare, and painting
        // works again.
        app.commands().compare->trigger();
        QVERIFY(m.compare());
        app.commands().revert->trigger();
        QCOMPARE(menuStates(app), "UrOSecvIZF");
        QCOMPARE(toolbarStates(app), "OUrmZFISCe");
        QVERIFY(!app.commands().compare->isChecked());
        QVERIFY(m.beginStroke());
        m.endStroke();
        QCOMPARE(status->text(), "1 erase pass");

        m.undo(); // back to the erased picture
        QCOMPARE(menuStates(app), "UROSecVIZF");
        QVERIFY(app.commands().compare->isEnabled());
    }

    void preserveTextureChoosesTheFill() {
        MireloApp app;
        MireloModel& m = app.model();
        m.processors = 1;
        QVERIFY(app.commands().texture->isCheckable());
        QVERIFY(!app.commands().texture->isChecked());
        QCOMPARE(m.fillMethod(), Inpainter::Method::Standard);
        testsupport::loadNow(m, pngBytes(200, 150));
        for (const bool on : {true, false}) {
            app.commands().texture->trigger();
            QCOMPARE(app.commands().texture->isChecked(), on);
            const auto method = on ? Inpainter::Method::Texture : Inpainter::Method::Standard;
            QCOMPARE(m.fillMethod(), method);
            paint(m);
            const PixelImage before = *m.current();
            const std::vector<uint8_t> painted = m.mask()->tiles().toBytes();
            m.erase();
            QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);
            QVERIFY(*m.current() == Inpainter::run(before, painted, {}, 1, method));
            if (on) // the two fills differ on this picture, so the check tells them apart
                QVERIFY(*m.current() != Inpainter::run(before, painted, {}, 1));
        }
    }

    void readoutsAndStatusText() {
        MireloApp app;
        auto* featherReadout = child<QLabel>(app.content(), "featherReadout");
        auto* progressText = child<QLabel>(app.content(), "progressText");
        auto* status = child<ElidedLabel>(app.content(), "status");
        MireloModel& m = app.model();
        QCOMPARE(status->text(), "");
        m.setFeather(0.57);
        QCOMPARE(featherReadout->text(), "56%");
        m.setFeather(0.35);
        QCOMPARE(featherReadout->text(), "35%");
        m.setBrushSize(47.9);
        QCOMPARE(child<QLabel>(app.content(), "brushReadout")->text(), "47 px");
        QCOMPARE(child<QSlider>(app.content(), "brushSlider")->value(), 4790);
        // Opening shows the wait cursor until the picture is in.
        m.load(pngBytes(64, 64));
        QCOMPARE(progressText->text(), QString::fromUtf8("Opening…"));
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        QTRY_VERIFY(!m.isBusy());
        QVERIFY(!QGuiApplication::overrideCursor());
        paint(m);
        m.erase();
        QVERIFY(!QGuiApplication::overrideCursor());
        for (auto [p, text] : {std::pair{0.0, "Erasing… 0%"},
                               {0.42, "Erasing… 42%"},
                               {0.999, "Erasing… 99%"},
                               {1.0, "Erasing… 100%"}}) {
            MireloModelTestAccess::eraseProgressed(m, p);
            QCOMPARE(progressText->text(), QString::fromUtf8(text));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);
        QCOMPARE(status->text(), "1 erase pass");
        erase(m);
        QCOMPARE(status->text(), "2 erase passes");
        const QColor red(255, 59, 48);

        // A copy is no failure, and the next erase clears its notice.
        m.putOnClipboard = [](const QImage&) {};
        app.commands().copy->trigger();
        QCOMPARE(status->text(), "Copied to the clipboard.");
        QVERIFY(status->palette().color(QPalette::WindowText) != red);
        paint(m);
        m.erase();
        QCOMPARE(status->text(), "2 erase passes");
        QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);

        // A failed save names the file and the reason, until a picture is opened.
        QTemporaryDir dir;
        const QString path = dir.filePath("gone/out.png");
        m.chooseSavePath = [&](const QString&, Imaging::FileType) { return path; };
        app.commands().save->trigger();
        QTRY_VERIFY(!m.isBusy());
        const QString text = "Couldn't create the PNG file. (no such folder)";
        QCOMPARE(status->text(), text);
        QCOMPARE(status->palette().color(QPalette::WindowText), red);
        QCOMPARE(status->toolTip(), path + ": " + text);
        testsupport::loadNow(m, pngBytes(20, 20));
        QCOMPARE(status->text(), QString());
        QCOMPARE(status->toolTip(), QString());
    }

    void bottomBarShowsSizesAndZoom() {
        MireloApp app;
        auto* sizeReadout = child<QLabel>(app.content(), "sizeReadout");
        auto* zoomReadout = child<QLabel>(app.content(), "zoomReadout");
        MireloModel& m = app.model();
        ContentView& v = app.content();
        app.window().show();
        QVERIFY(QTest::qWaitForWindowActive(&app.window()));
        QCOMPARE(sizeReadout->text(), "");
        QCOMPARE(zoomReadout->text(), "");
        testsupport::loadNow(m, pngBytes(200, 150));
        QCOMPARE(sizeReadout->text(), QString::fromUtf8("200 × 150"));
        QTest::keyClick(&app.window(), Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(v.canvas().imageGeometry()->scale, 1.0);
        QCOMPARE(zoomReadout->text(), "100 %");
        QTest::keyClick(&app.window(), Qt::Key_Minus, Qt::ControlModifier);
        QTest::keyClick(&app.window(), Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(zoomReadout->text(), "64 %");
        QTest::keyClick(&app.window(), Qt::Key_Equal, Qt::ControlModifier);
        QCOMPARE(zoomReadout->text(), "80 %");
        QTest::keyClick(&app.window(), Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(m.zoom(), 1.0);

        // In the smallest window the bar's parts stay apart and a long message is cut short.
        auto* status = child<ElidedLabel>(app.content(), "status");
        const auto smallest = [&] {
            app.window().resize(app.window().minimumSizeHint());
            QTRY_COMPARE(v.width(), 860);
        };
        smallest();
        const QString text = "Couldn't read that file as an image.";
        m.setMessage(text);
        QCoreApplication::processEvents();
        // Every control keeps its room, and the message some of its own.
        const auto apart = [&] {
            const char* const row[] = {"brushSlider",    "brushReadout", "featherSlider",
                                       "featherReadout", "clearButton",  "sizeReadout",
                                       "zoomReadout",    "status"};
            for (int i = 0; i + 1 < 8; ++i)
                QVERIFY2(child<QWidget>(v, row[i])->geometry().right() <
                             child<QWidget>(v, row[i + 1])->geometry().left(),
                         row[i]);
            QVERIFY(status->geometry().right() < child<QWidget>(v, "bottomBar")->width());
            QVERIFY2(status->width() >= 60, qPrintable(QString::number(status->width())));
        };
        apart();
        QVERIFY(status->isElided());
        QCOMPARE(status->toolTip(), text);
        app.window().resize(1400, 800);
        QTRY_VERIFY(!status->isElided());
        QCOMPARE(status->toolTip(), QString());

        // A photo scaled down on opening says so, and each save dialog names what it writes.
        QImage photo(4096, 3072, QImage::Format_RGB32);
        photo.fill(QColor(120, 150, 90));
        testsupport::loadNow(m, testsupport::encode(photo, "jpeg"));
        QCOMPARE(sizeReadout->text(), QString::fromUtf8("3072 × 2304 of 4096 × 3072"));
        QStringList titles;
        m.chooseSavePath = [&](const QString& title, Imaging::FileType) {
            titles << title;
            return QString();
        };
        app.commands().save->trigger();
        app.commands().saveFullSize->trigger();
        app.commands().saveFullSizeJpeg->trigger();
        QCOMPARE(titles, QStringList({QString::fromUtf8("Save as PNG — 3072 × 2304"),
                                      QString::fromUtf8("Save Full Size as PNG — 4096 × 3072"),
                                      QString::fromUtf8("Save Full Size as JPEG — 4096 × 3072")}));
        QStringList file;
        for (QAction* a : app.window().findChild<QMenu*>("fileMenu")->actions())
            file << a->text();
        QVERIFY2(file.join('|').startsWith(QString::fromUtf8(
                     "Open…|Save as PNG…|Save Full Size as PNG…|Save Full Size as JPEG…")),
                 qPrintable(file.join('|')));
        // The longer text still fits the smallest window.
        m.setMessage(text);
        smallest();
        apart();
    }

    // Clicks on the bars leave the keys to the canvas and the commands.
    void keysWorkAfterTheBarsAreUsed() {
        MireloApp app;
        MireloModel& m = app.model();
        ContentView& v = app.content();
        app.window().show();
        QVERIFY(QTest::qWaitForWindowActive(&app.window()));
        QWindow* window = app.window().windowHandle();
        testsupport::loadNow(m, pngBytes(200, 150));
        QTest::keyClick(&app.window(), Qt::Key_Return, Qt::ControlModifier);
        QVERIFY2(!m.isBusy(), "nothing painted: no erase");
        paint(m);
        QTest::mouseClick(child<QPushButton>(v, "clearButton"), Qt::LeftButton);
        QVERIFY(!m.maskHasPaint());
        QTest::mouseClick(v.toolbar().widgetForAction(app.commands().undo), Qt::LeftButton);
        QVERIFY(m.maskHasPaint());
        QTest::keyPress(window, Qt::Key_Space);
        QCOMPARE(v.canvas().cursor().shape(), Qt::OpenHandCursor);
        QTest::keyRelease(window, Qt::Key_Space);
        QCOMPARE(v.canvas().cursor().shape(), Qt::CrossCursor);
        QVERIFY2(m.maskHasPaint() && m.canRedo(), "no button took the Space");

        QTest::keyClick(&app.window(), Qt::Key_Backspace, Qt::ControlModifier);
        QVERIFY(!m.maskHasPaint());
        QTest::keyClick(&app.window(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(m.maskHasPaint());
        QTest::keyClick(&app.window(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(!m.maskHasPaint());
        QTest::keyClick(&app.window(), Qt::Key_Y, Qt::ControlModifier); // redo
        QVERIFY(m.maskHasPaint());
        QTest::keyClick(&app.window(), Qt::Key_Return, Qt::ControlModifier);
        QVERIFY(m.isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);
        QCOMPARE(m.passes(), 1);

        // A click in a slider's groove beyond the handle steps a tenth of its range, and
        // leaves the brush keys working.
        const auto clickRightEnd = [&](const char* name) {
            auto* slider = child<QSlider>(v, name);
            QTest::mouseClick(slider, Qt::LeftButton, Qt::NoModifier,
                              QPoint(slider->width() - 3, slider->height() / 2));
        };
        clickRightEnd("brushSlider");
        QCOMPARE(m.brushSize(), 48 + 39.8);
        clickRightEnd("featherSlider");
        QCOMPARE(m.feather(), 0.45);
        QTest::keyClick(window, Qt::Key_BracketLeft);
        QCOMPARE(m.brushSize(), (48 + 39.8) * 0.85);
    }

    void toolbarTitlesAndTooltips() {
        MireloApp app;
        ContentView& v = app.content();
        const QList<QAction*> actions = v.toolbar().actions();
        QStringList titles;
        for (QAction* a : actions)
            titles << qobject_cast<QToolButton*>(v.toolbar().widgetForAction(a))->text();
        QCOMPARE(titles, QStringList({"Open", "Undo", "Redo", "Compare", "Zoom Out", "Fit",
                                      "Zoom In", "Save PNG", "Copy", "Erase"}));
        QCOMPARE(app.commands().open->toolTip(), "Open an image (Ctrl+O)");
        QCOMPARE(app.commands().redo->toolTip(), "Redo (Ctrl+Shift+Z)");
        QCOMPARE(app.commands().erase->toolTip(), "Erase the masked area (Ctrl+Return)");
        for (QAction* a : actions) {
            QVERIFY2(!a->icon().isNull(), qPrintable(a->text()));
            QVERIFY2(!a->isIconVisibleInMenu(), "menus show no icons");
        }
        // A key claimed by two actions would fire neither.
        QList<QKeySequence> keys;
        for (QAction* a : app.commands().findChildren<QAction*>())
            for (const QKeySequence& k : a->shortcuts()) {
                QVERIFY2(!keys.contains(k), qPrintable(k.toString()));
                keys << k;
            }
        QStringList image;
        for (QAction* a : app.window().findChild<QMenu*>("imageMenu")->actions())
            image << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(image, QStringList({"Erase Masked Area", "Preserve Texture", "Clear Mask",
                                     "Revert to Original", "-", "Zoom In", "Zoom Out",
                                     "Fit to Window", "Actual Size"}));
        QCOMPARE(app.commands().actualSize->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_1));
        QCOMPARE(app.window().windowTitle(), "Mirelo");
    }

    void dropsAndPasteLoadTheFirstItem() {
        QTemporaryDir dir;
        MireloApp app;
        MireloModel& m = app.model();
        const QUrl a = writeFile(dir, "a.png", pngBytes(120, 80));
        const QUrl b = writeFile(dir, "b.png", pngBytes(60, 40));
        const QUrl text = writeFile(dir, "notes.txt", "hello");

        QMimeData several;
        several.setUrls({a, b});
        several.setData("image/png", pngBytes(10, 10)); // the file is preferred
        QVERIFY(app.document().drop(&several));
        QVERIFY2(!m.hasImage(), "the load runs from the event loop");
        QTRY_VERIFY(m.hasImage());
        QCOMPARE(m.current()->width(), 120);

        QMimeData bytes;
        bytes.setData("image/png", pngBytes(33, 22));
        QVERIFY(app.document().drop(&bytes));
        QTRY_COMPARE(m.current()->width(), 33);

        QMimeData notImage;
        notImage.setUrls({text});
        QVERIFY(app.document().drop(&notImage));
        QTRY_COMPARE(m.message().value_or(""), "Couldn't read that file as an image.");
        QCOMPARE(m.current()->width(), 33);

        QMimeData nothing;
        nothing.setText("just words");
        QVERIFY(!app.document().drop(&nothing));

        QMimeData pixels;
        QImage red(7, 5, QImage::Format_RGB32);
        red.fill(Qt::red);
        pixels.setImageData(red);
        QVERIFY(app.document().drop(&pixels));
        QTRY_COMPARE(m.current()->width(), 7);

        QApplication::clipboard()->setText("no picture here");
        app.commands().paste->trigger();
        QTRY_COMPARE(m.message().value_or(""), "Couldn't read that image.");
        QCOMPARE(m.current()->width(), 7);
    }

    void dragHoverShowsTheHighlightOnlyForImages() {
        MireloApp app;
        auto* dropHighlight = child<QWidget>(app.content(), "dropHighlight");
        auto* canvasArea = child<QWidget>(app.content(), "canvasArea");
        app.window().show();
        QVERIFY(dropHighlight->isHidden());
        QMimeData words;
        words.setText("words");
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &words, Qt::LeftButton,
                                Qt::NoModifier);
        QCoreApplication::sendEvent(canvasArea, &refused);
        QVERIFY(!refused.isAccepted());
        QVERIFY(dropHighlight->isHidden());

        QMimeData image;
        image.setUrls({QUrl::fromLocalFile("/tmp/photo.jpg")});
        QDragEnterEvent accepted(QPoint(10, 10), Qt::CopyAction, &image, Qt::LeftButton,
                                 Qt::NoModifier);
        QCoreApplication::sendEvent(canvasArea, &accepted);
        QVERIFY(accepted.isAccepted());
        QVERIFY(!dropHighlight->isHidden());
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(canvasArea, &leave);
        QVERIFY(dropHighlight->isHidden());
    }

    void anUnsavedResultIsNotLostWithoutAsking() {
        QTemporaryDir dir;
        MireloApp app;
        MireloModel& m = app.model();
        QStringList asked;
        QMessageBox::StandardButton answer = QMessageBox::Cancel;
        app.document().askToSave = [&](const QString& question) {
            asked << question;
            return answer;
        };
        const QUrl other = writeFile(dir, "other.png", pngBytes(50, 40));
        m.chooseOpenPath = [&] { return other.toLocalFile(); };
        QString savePath;
        m.chooseSavePath = [&](const QString&, Imaging::FileType) { return savePath; };
        app.window().show();

        testsupport::loadNow(m, pngBytes(200, 150));
        paint(m); // paint alone is not worth a question
        app.commands().open->trigger();
        QTRY_COMPARE(m.current()->width(), 50);
        QVERIFY(asked.isEmpty());

        erase(m);
        app.commands().open->trigger(); // Cancel
        QMimeData drop;
        drop.setUrls({other});
        QVERIFY(app.document().drop(&drop));
        QTRY_COMPARE(asked.size(), 2);
        app.commands().quit->trigger();
        QCOMPARE(asked, QStringList({"Save the erased picture before opening another picture?",
                                     "Save the erased picture before opening another picture?",
                                     "Save the erased picture before quitting?"}));
        QVERIFY(app.window().isVisible());
        QVERIFY(m.passes() == 1 && m.unsavedResult());

        // Save goes on only when the file was written.
        answer = QMessageBox::Save;
        savePath = dir.filePath("no/such/folder/out.png");
        QVERIFY(!app.window().close());
        savePath = dir.filePath("out.png");
        QVERIFY(app.window().close());
        QVERIFY(QFileInfo::exists(savePath));
        QCOMPARE(asked.size(), 5);

        // Discard lets the paste replace the erased picture.
        erase(m);
        answer = QMessageBox::Discard;
        QApplication::clipboard()->setImage(QImage(30, 20, QImage::Format_RGB32));
        app.commands().paste->trigger();
        QTRY_COMPARE(m.current()->width(), 30);
        QCOMPARE(asked.last(), "Save the erased picture before pasting another picture?");
    }

    // A running erase is unsaved work, even the first one of a photo. Save lets it finish
    // and writes its result; Discard goes on at once and its result never lands; Cancel
    // leaves it to land.
    void aRunningEraseIsNotLostWithoutAsking() {
        QTemporaryDir dir;
        MireloApp app;
        MireloModel& m = app.model();
        ContentView& v = app.content();
        QStringList asked;
        QMessageBox::StandardButton answer = QMessageBox::Cancel;
        app.document().askToSave = [&](const QString& question) {
            asked << question;
            return answer;
        };
        const QUrl other = writeFile(dir, "other.png", pngBytes(50, 40));
        const QUrl third = writeFile(dir, "third.png", pngBytes(30, 20));
        m.chooseOpenPath = [&] { return other.toLocalFile(); };
        QString savePath;
        m.chooseSavePath = [&](const QString&, Imaging::FileType) { return savePath; };
        QStringList panel;
        connect(&m, &MireloModel::activityChanged, [&] {
            if (child<QWidget>(v, "busyOverlay")->isVisibleTo(&app.window()))
                panel << child<QLabel>(v, "progressText")->text();
        });
        app.window().show();
        testsupport::loadNow(m, pngBytes(300, 200));

        // The result event cannot arrive before the event loop runs, so each question below
        // meets a running erase.
        startErase(m, {150, 100});
        QVERIFY(!app.window().close());
        QVERIFY(m.isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!m.isBusy(), 20000);
        QCOMPARE(m.passes(), 1);
        QVERIFY(app.window().isVisible());

        answer = QMessageBox::Save;
        savePath = dir.filePath("before-open.png");
        PixelImage expected = startErase(m, {60, 60});
        QVERIFY(!(expected == *m.current()));
        panel.clear();
        app.commands().open->trigger();
        QVERIFY(Imaging::decodeFile(savePath).image == expected);
        QCOMPARE(panel.mid(0, 2), QStringList({"Finishing the erase… 0%", "Saving…"}));
        QTRY_COMPARE(m.current()->width(), 50);

        savePath = dir.filePath("before-quit.png");
        expected = startErase(m, {25, 20});
        QVERIFY(!(expected == *m.current()));
        QVERIFY(app.window().close());
        QVERIFY(Imaging::decodeFile(savePath).image == expected);

        answer = QMessageBox::Discard;
        app.window().show();
        const PixelImage before = *m.current();
        startErase(m, {10, 10});
        QVERIFY(app.window().close());
        QVERIFY(!m.isBusy());
        QCOMPARE(*m.current(), before);
        app.window().show();
        app.document().openFile(third.toLocalFile()); // as from the command line
        QTRY_COMPARE(m.current()->width(), 30);
        startErase(m, {15, 10});
        app.document().openFile(other.toLocalFile());
        QTRY_COMPARE(m.current()->width(), 50);
        MireloModelTestAccess::finishJobs(m);
        QCOMPARE(m.current()->width(), 50);
        QCOMPARE(m.passes(), 0);
        QVERIFY(!m.unsavedResult());

        const QString quitting = "Save the erased picture before quitting?";
        const QString opening = "Save the erased picture before opening another picture?";
        QCOMPARE(asked, QStringList({quitting, opening, quitting, quitting, opening}));
    }

    void titleAndSaveDialogFollowTheDocument() {
        QTemporaryDir dir;
        MireloApp app;
        MireloModel& m = app.model();
        app.window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&app.window()));
        const auto title = [&] { return app.window().windowHandle()->title(); };
        QCOMPARE(title(), "Mirelo");
        testsupport::loadNow(m, writeFile(dir, "photo.png", pngBytes(80, 60)));
        QCOMPARE(title(), "photo.png — Mirelo");
        erase(m);
        QCOMPARE(title(), "photo.png* — Mirelo");
        m.undo();
        QCOMPARE(title(), "photo.png — Mirelo");

        // The save dialog starts beside the open photo.
        QString folder, name, dialogTitle;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                folder = dialog->directory().absolutePath();
                name = dialog->selectedFiles().value(0);
                dialogTitle = dialog->windowTitle();
                dialog->reject();
            }
        });
        poll.start(20);
        QVERIFY(!m.savePNG());
        QCOMPARE(folder, QDir(dir.path()).absolutePath());
        QCOMPARE(QFileInfo(name).fileName(), "Mirelo.png");
        QCOMPARE(dialogTitle, QString::fromUtf8("Save as PNG — 80 × 60"));

        app.document().askToSave = [](const QString&) { return QMessageBox::Discard; };
        QImage pixels(8, 8, QImage::Format_RGB32);
        pixels.fill(Qt::red);
        QApplication::clipboard()->setImage(pixels);
        app.commands().paste->trigger();
        QTRY_COMPARE(title(), "Pasted image — Mirelo");
        QMimeData data;
        data.setData("image/png", pngBytes(9, 9));
        QVERIFY(app.document().drop(&data));
        QTRY_COMPARE(title(), "Dropped image — Mirelo");
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
