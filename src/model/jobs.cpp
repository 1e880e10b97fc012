#include "jobs.h"

#include "fullsize.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QEvent>
#include <QFileInfo>
#include <QImageWriter>
#include <QObject>

#include <algorithm>
#include <deque>
#include <mutex>

namespace Jobs {

namespace {

// Hands functions from the job threads to the GUI thread, first in, first out. They wait
// in a queue under a standard mutex, and one posted event at a time wakes the GUI thread to
// run them. The functions never travel inside Qt's own event objects, so every hand-over
// between threads is a lock that the thread sanitizer sees; the locks and reference counts
// inside the Qt libraries are invisible to it and made it report races that are not there.
class GuiThreadQueue final : public QObject {
public:
    static GuiThreadQueue& instance() {
        // Lives as long as the process: a job may post after every model is gone.
        static GuiThreadQueue* const queue = [] {
            auto* q = new GuiThreadQueue;
            q->moveToThread(QCoreApplication::instance()->thread());
            return q;
        }();
        return *queue;
    }

    void post(std::function<void()> f) {
        const std::lock_guard lock(mutex_);
        pending_.push_back(std::move(f));
        if (!wakePosted_) {
            wakePosted_ = true;
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        }
    }

protected:
    // The event itself is not read: Qt frees it after this returns, ordered after the
    // posting thread by the lock taken here.
    void customEvent(QEvent*) override {
        std::deque<std::function<void()>> ready;
        {
            const std::lock_guard lock(mutex_);
            ready.swap(pending_);
            wakePosted_ = false;
        }
        for (auto& f : ready)
            f();
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> pending_;
    bool wakePosted_ = false;
};

Loaded decoded(Imaging::Decoded decoded) {
    if (!decoded.image || decoded.image->isEmpty())
        return Loaded::failed(decoded.error == Imaging::LoadError::None
                                  ? Imaging::LoadError::DecodeFailed
                                  : decoded.error,
                              decoded.reason);
    Loaded loaded;
    loaded.image = std::move(decoded.image);
    loaded.source = std::move(decoded.source);
    loaded.format = std::move(decoded.format);
    loaded.scaledDown = std::max(decoded.full.width(), decoded.full.height()) > Imaging::kMaxSide;
    loaded.fullSize = decoded.full;
    return loaded;
}

Saved outOfMemory() {
    // Whatever was at the path stays: the file is replaced only when complete.
    return {Imaging::SaveError::WriteFailed, QStringLiteral("not enough memory")};
}

} // namespace

void prepareGuiThreadQueue() { GuiThreadQueue::instance(); }

void postToGuiThread(std::function<void()> f) { GuiThreadQueue::instance().post(std::move(f)); }

Loaded Loaded::failed(Imaging::LoadError error, QString reason) {
    Loaded loaded;
    loaded.error = error;
    loaded.reason = std::move(reason);
    return loaded;
}

Loaded loadFile(const QString& path) {
    Loaded result = decoded(Imaging::decodeFile(path));
    const QFileInfo info(path);
    result.name = info.fileName();
    result.folder = info.absolutePath();
    return result;
}

Loaded loadData(const QByteArray& data, const QString& name) {
    Loaded result = decoded(Imaging::decodeData(data));
    result.name = name;
    return result;
}

Loaded loadImage(const QImage& image, const QString& name) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (image.isNull() || !QImageWriter(&buffer, "png").write(image))
        return Loaded::failed(Imaging::LoadError::NotImageData);
    return loadData(bytes, name);
}

Loaded prepared(const std::function<Loaded()>& decode) {
    try {
        Loaded loaded = decode();
        if (loaded.image) {
            loaded.drawable = Imaging::makeQImage(*loaded.image);
            loaded.mask =
                std::make_unique<MaskStore>(loaded.image->width(), loaded.image->height());
        }
        return loaded;
    } catch (const std::bad_alloc&) {
        return Loaded::failed(Imaging::LoadError::DecodeFailed,
                              QStringLiteral("not enough memory"));
    }
}

std::optional<PixelImage> erase(PixelImage image, const MaskTiles& mask,
                                const Inpainter::Progress& report, int threads,
                                Inpainter::Method method) {
    try {
        return Inpainter::run(std::move(image), mask.toBytes(), report, threads, method);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

Saved save(const PixelImage& picture, const QString& path) {
    try {
        Saved saved;
        saved.error = Imaging::savePng(picture, path, &saved.reason);
        return saved;
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
}

Saved saveFullSize(const PixelImage& picture, const PixelImage& loaded, const QByteArray& source,
                   const QByteArray& format, const QString& path, Imaging::FileType type,
                   const Inpainter::Progress& report, int threads) {
    try {
        Saved saved;
        saved.error = Imaging::saveFullSize(type, source, format, loaded, picture, path, report,
                                            threads, &saved.reason);
        return saved;
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
}

} // namespace Jobs
