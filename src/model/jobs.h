#pragma once

#include "imaging.h"
#include "inpainter.h"
#include "maskstore.h"
#include "pixelimage.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The work of the document's background jobs, as plain functions that run on a pool
// thread, and the queue that hands their results back to the GUI thread. The model starts
// the jobs, keeps them apart and installs what they give.
namespace Jobs {

// Makes the queue on the GUI thread; call once there before any job posts.
void prepareGuiThreadQueue();
// Runs f on the GUI thread later; returns at once. Safe to call from any thread.
void postToGuiThread(std::function<void()> f);

// What a background decode hands back: a picture and all a document keeps of it, or why
// there is none.
struct Loaded {
    std::optional<PixelImage> image;
    Imaging::LoadError error = Imaging::LoadError::None;
    QString reason; // why, in a few words, where that is known
    QByteArray source;
    QByteArray format;
    bool scaledDown = false;
    QSize fullSize;
    QString name;
    QString folder;
    // Made beside the decode, so the GUI thread only installs them: the drawable copy and
    // the new mask store take tens of megabytes to fill.
    QImage drawable;
    std::unique_ptr<MaskStore> mask;

    static Loaded failed(Imaging::LoadError error, QString reason = {});
};

// A local file, read once and its bytes kept: a full-size save must see the picture that
// was opened, even if the file changes or goes away meanwhile.
Loaded loadFile(const QString& path);
// Image bytes, or a picture (kept as lossless PNG bytes, like any other source); name is
// what the title calls them.
Loaded loadData(const QByteArray& data, const QString& name);
Loaded loadImage(const QImage& image, const QString& name);
// Runs decode and makes the drawable copy and the mask store of its picture; running out
// of memory on the way is a failed decode.
Loaded prepared(const std::function<Loaded()>& decode);

// Erases the painted area; none when memory ran out. Whatever report throws (to stop the
// job) passes through.
std::optional<PixelImage> erase(PixelImage image, const MaskTiles& mask,
                                const Inpainter::Progress& report, int threads,
                                Inpainter::Method method);

// How a save ended: SaveError::None, or the failure and why.
struct Saved {
    Imaging::SaveError error = Imaging::SaveError::WriteFailed;
    QString reason;
};
// Writes picture as a PNG file at path.
Saved save(const PixelImage& picture, const QString& path);
// Writes the photo at its original size as a file of the type: decoded again from source,
// with the areas where picture differs from the loaded one synthesised again at that size
// (fullsize.h). report and threads as for the engine.
Saved saveFullSize(const PixelImage& picture, const PixelImage& loaded, const QByteArray& source,
                   const QByteArray& format, const QString& path, Imaging::FileType type,
                   const Inpainter::Progress& report, int threads);

} // namespace Jobs
