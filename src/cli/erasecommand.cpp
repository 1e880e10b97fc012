#include "erasecommand.h"

#include "filenames.h"
#include "fullsize.h"
#include "imaging.h"
#include "inpainter.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace EraseCommand {
namespace {

const char* const kUsage =
    "Usage: mirelo-erase INPUT MASK -o OUTPUT [--full-size] [--fill METHOD] [--threads N]\n"
    "                    [--quiet] [--verbose]\n"
    "\n"
    "Fills the painted area of INPUT from its surroundings and writes the result as PNG,\n"
    "or as JPEG when OUTPUT is named .jpg or .jpeg.\n"
    "\n"
    "  INPUT          image to erase from (JPEG, PNG, WebP, TIFF, GIF, BMP, TGA, ICO,\n"
    "                 PBM, PGM, PPM, XPM, XBM, or WBMP named .wbmp); it is turned upright\n"
    "                 and scaled down to at most 3072 pixels on its longer side\n"
    "  MASK           image of the decoded size, or of INPUT's own upright size (then\n"
    "                 reduced by area averaging); its grey value is the paint strength:\n"
    "                 0 keeps a pixel, 128 to 255 replace it, 1 to 127 blend\n"
    "  -o, --output OUTPUT  file to write: an 8-bit RGB PNG, or, named .jpg or .jpeg, a\n"
    "                 JPEG (quality 92, sRGB)\n"
    "  --full-size    write the result at INPUT's own size, as the application's\n"
    "                 \"Save Full Size as PNG…\" does; a JPEG INPUT written as JPEG keeps\n"
    "                 its file: only the blocks the erase touched are compressed again\n"
    "  --fill METHOD  how thick holes are filled: standard (the default) or texture,\n"
    "                 which keeps the grain of grass, gravel or brick\n"
    "  --threads N    threads for patch matching (default: all processors)\n"
    "  -q, --quiet    print nothing but errors\n"
    "  -v, --verbose  print the decode, erase and encode times\n"
    "  -h, --help     show this help\n";

struct Options {
    QString input;
    QString mask;
    QString output;
    int threads = 0;
    Inpainter::Method method = Inpainter::Method::Standard;
    bool fullSize = false;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
};

// Parses the arguments; on a usage error returns the message to print.
std::optional<QString> parse(const QStringList& args, Options& o) {
    QStringList positional;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        // The argument after an option that takes one.
        auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "--full-size") {
            o.fullSize = true;
        } else if (a == "-o" || a == "--output") {
            const auto v = value();
            if (!v)
                return QStringLiteral("option %1 needs a file name").arg(a);
            o.output = *v;
        } else if (a.startsWith("--output=")) {
            o.output = a.mid(9);
        } else if (a == "--threads" || a.startsWith("--threads=")) {
            std::optional<QString> v = a == "--threads" ? value() : a.mid(10);
            bool ok = false;
            const int n = v ? v->toInt(&ok) : 0;
            if (!ok || n < 1 || n > 256)
                return QStringLiteral("--threads needs a whole number from 1 to 256");
            // More threads than processors only adds memory and switching.
            o.threads = int(
                std::min<unsigned>(unsigned(n), std::max(1u, std::thread::hardware_concurrency())));
        } else if (a == "--fill" || a.startsWith("--fill=")) {
            const std::optional<QString> v = a == "--fill" ? value() : a.mid(7);
            if (v == QStringLiteral("standard"))
                o.method = Inpainter::Method::Standard;
            else if (v == QStringLiteral("texture"))
                o.method = Inpainter::Method::Texture;
            else
                return QStringLiteral("--fill needs standard or texture");
        } else if (a == "--") {
            positional += args.mid(i + 1);
            break;
        } else if (a.startsWith('-') && a.size() > 1) {
            return QStringLiteral("unknown option %1").arg(a);
        } else {
            positional += a;
        }
    }
    if (o.help)
        return std::nullopt;
    if (positional.size() != 2)
        return QStringLiteral("expected INPUT and MASK, got %1 file name(s)")
            .arg(positional.size());
    if (o.output.isEmpty())
        return QStringLiteral("missing -o OUTPUT");
    o.input = positional[0];
    o.mask = positional[1];
    return std::nullopt;
}

QString sizeText(qint64 w, qint64 h) { return QStringLiteral("%1 x %2").arg(w).arg(h); }

// The mask's grey bytes at the decoded size w x h (turned upright like the photo). A mask
// of the photo's own upright size full is reduced to it by area averaging; no other
// scaling, which would blur the paint. The size in the mask's header is compared before
// anything is decoded.
std::optional<std::vector<uint8_t>> readMask(const QString& name, qint64 w, qint64 h, QSize full,
                                             QString& error) {
    const FileNames::Readable file(name);
    // Read once, as the photo is: a pipe works too.
    const Imaging::FileBytes source = Imaging::readFileBytes(file.path());
    QByteArray bytes = source.bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const std::unique_ptr<QImageReader> reader =
        Imaging::openReader(buffer, QFileInfo(file.path()).suffix().toLatin1());
    if (source.error != Imaging::LoadError::None || !reader) {
        error = Imaging::withReason(
            QStringLiteral("Couldn't read the mask %1 as an image.").arg(name), source.reason);
        return std::nullopt;
    }
    auto wrongSize = [&](QSize size) {
        error = QStringLiteral("The mask is %1 pixels but the image decodes to %2 pixels.")
                    .arg(sizeText(size.width(), size.height()), sizeText(w, h));
        return std::nullopt;
    };
    const QSize working{static_cast<int>(w), static_cast<int>(h)};
    const bool fullAllowed = full.isValid() && full != working;
    const Imaging::Read read = Imaging::readImage(*reader, 0, fullAllowed ? QSize() : working);
    if (read.image.isNull() && read.announced.isValid() && read.announced != working &&
        !(fullAllowed && read.announced == full))
        return wrongSize(read.announced);
    if (read.image.isNull()) {
        error = Imaging::withReason(QStringLiteral("Couldn't decode the mask %1.").arg(name),
                                    read.reason);
        return std::nullopt;
    }
    const bool fullSize = fullAllowed && read.image.size() == full;
    if (!fullSize && read.image.size() != working)
        return wrongSize(read.image.size());
    const QImage image = read.image.convertToFormat(QImage::Format_Grayscale8);
    const qint64 mw = image.width();
    std::vector<uint8_t> grey(size_t(mw) * size_t(image.height()));
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(grey.data() + size_t(y) * size_t(mw), image.constScanLine(y), size_t(mw));
    if (fullSize)
        return Imaging::reduceMask(grey, mw, image.height(), w, h);
    return grey;
}

// Codecs print their own warnings and errors on the process's standard error (libpng's
// and libtiff's handlers among them); while this lives they go nowhere, so a failure is
// the one line the tool prints.
class CodecOutputSilenced {
public:
    CodecOutputSilenced() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~CodecOutputSilenced() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    CodecOutputSilenced(const CodecOutputSilenced&) = delete;
    CodecOutputSilenced& operator=(const CodecOutputSilenced&) = delete;

private:
    int saved_ = -1;
};

class ProgressBar {
public:
    explicit ProgressBar(FILE* err, const char* label = "Erasing") : err_(err), label_(label) {}
    void show(double value) {
        const int percent = int(value * 100.0);
        if (percent == last_)
            return;
        last_ = percent;
        constexpr int kWidth = 30;
        const int filled = int(value * kWidth);
        std::fprintf(err_, "\r%s [%.*s%.*s] %3d%%", label_, filled,
                     "##############################", kWidth - filled,
                     "                              ", percent);
        std::fflush(err_);
    }
    void finish() {
        if (last_ >= 0)
            std::fputs("\n", err_);
    }

private:
    FILE* err_;
    const char* label_;
    int last_ = -1;
};

} // namespace

int run(const QStringList& arguments, FILE* out, FILE* err, bool showProgress) {
    Options options;
    if (const auto problem = parse(arguments, options)) {
        std::fprintf(err, "mirelo-erase: %s\n%s", qPrintable(*problem),
                     "Try 'mirelo-erase --help' for more information.\n");
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, out);
        return kExitOk;
    }
    std::optional<CodecOutputSilenced> silenced;
    auto fail = [&](const QString& text) {
        silenced.reset();
        // File names are printed as the bytes they were given as.
        std::fprintf(err, "mirelo-erase: %s\n", FileNames::bytesOf(text).constData());
        return kExitFailure;
    };
    const bool jpeg = Imaging::isJpegName(options.output);
    const Imaging::SaveError cannotCreate =
        jpeg ? Imaging::SaveError::CannotCreateJpeg : Imaging::SaveError::CannotCreate;
    if (const QString problem = FileNames::outputProblem(options.output); !problem.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(
            options.output, Imaging::withReason(Imaging::message(cannotCreate), problem)));

    QElapsedTimer timer;
    timer.start();
    qint64 decodeMs = 0, eraseMs = 0;
    // Which step is running, for the message when memory runs out.
    enum class Step { Decode, Erase, Save } step = Step::Decode;
    silenced.emplace();
    try {
        const FileNames::Readable input(options.input);
        Imaging::Decoded decoded = Imaging::decodeFile(input.path());
        if (!decoded.image)
            return fail(QStringLiteral("%1: %2").arg(
                options.input,
                Imaging::withReason(Imaging::message(decoded.error), decoded.reason)));
        PixelImage image = std::move(*decoded.image);
        QString maskError;
        // A mask may also be drawn at the photo's own upright size.
        const auto mask =
            readMask(options.mask, image.width(), image.height(), decoded.full, maskError);
        if (!mask)
            return fail(maskError);
        silenced.reset();
        decodeMs = timer.restart();

        step = Step::Erase;
        ProgressBar bar(err);
        Inpainter::Progress progress;
        if (showProgress && !options.quiet)
            progress = [&bar](double value) { bar.show(value); };
        const PixelImage original = image; // shares the bytes; the engine copies them
        image = Inpainter::run(std::move(image), *mask, progress, options.threads, options.method);
        bar.finish();
        eraseMs = timer.restart();

        step = Step::Save;
        silenced.emplace();
        QString why;
        ProgressBar detailBar(err, "Full size");
        Inpainter::Progress detail;
        if (showProgress && !options.quiet)
            detail = [&detailBar](double value) { detailBar.show(value); };
        const Imaging::FileType type = jpeg ? Imaging::FileType::Jpeg : Imaging::FileType::Png;
        const Imaging::SaveError saved =
            FileNames::save(options.output, cannotCreate, [&](const QString& path) {
                if (options.fullSize)
                    // Decoded again from the bytes the photo was read from, as the application
                    // does from the bytes it kept when it opened the photo.
                    return Imaging::saveFullSize(type, decoded.source, decoded.format, original,
                                                 image, path, detail, options.threads, &why);
                return jpeg ? Imaging::saveJpeg(image, path, &why)
                            : Imaging::savePng(image, path, &why);
            });
        detailBar.finish();
        silenced.reset();
        if (saved != Imaging::SaveError::None)
            return fail(QStringLiteral("%1: %2").arg(
                options.output, Imaging::withReason(Imaging::message(saved), why)));
    } catch (const std::bad_alloc&) {
        const QString memory = QStringLiteral("not enough memory");
        if (showProgress && !options.quiet && step == Step::Erase)
            std::fputs("\n", err); // end the progress bar's line
        switch (step) {
        case Step::Decode:
            return fail(QStringLiteral("%1: %2").arg(
                options.input,
                Imaging::withReason(Imaging::message(Imaging::LoadError::DecodeFailed), memory)));
        case Step::Erase:
            return fail(QStringLiteral("%1: %2").arg(
                options.input, Imaging::withReason(Imaging::kEraseFailedMessage, memory)));
        case Step::Save:
            return fail(QStringLiteral("%1: %2").arg(
                options.output,
                Imaging::withReason(Imaging::message(Imaging::SaveError::WriteFailed), memory)));
        }
    }
    const qint64 encodeMs = timer.elapsed();

    if (options.verbose && !options.quiet)
        std::fprintf(err, "decode %lld ms, erase %lld ms, encode %lld ms\n", decodeMs, eraseMs,
                     encodeMs);
    return kExitOk;
}

std::optional<QString> checkArguments(const QStringList& arguments) {
    Options options;
    return parse(arguments, options);
}

} // namespace EraseCommand
