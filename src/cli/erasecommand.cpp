#include "erasecommand.h"

#include "imaging.h"
#include "inpainter.h"

#include <QElapsedTimer>
#include <QImageReader>

#include <cstring>
#include <optional>

namespace EraseCommand {
namespace {

const char* const kUsage =
    "Usage: mirelo-erase INPUT MASK -o OUTPUT [--fill METHOD] [--threads N] [--quiet]\n"
    "                    [--verbose]\n"
    "\n"
    "Fills the painted area of INPUT from its surroundings and writes the result as PNG.\n"
    "\n"
    "  INPUT          image to erase from (any format Qt reads); it is turned upright and\n"
    "                 scaled down to at most 3072 pixels on its longer side\n"
    "  MASK           image of the same (decoded) size; its grey value is the paint\n"
    "                 strength: 0 keeps a pixel, 128 to 255 replace it, 1 to 127 blend\n"
    "  -o, --output OUTPUT  PNG file to write\n"
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
    bool quiet = false;
    bool verbose = false;
    bool help = false;
};

// Parses the arguments; on a usage error returns the message to print.
std::optional<QString> parse(const QStringList& args, Options& o) {
    QStringList positional;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](const QString& name) -> std::optional<QString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            Q_UNUSED(name);
            return args[++i];
        };
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "-o" || a == "--output") {
            const auto v = value(a);
            if (!v)
                return QStringLiteral("option %1 needs a file name").arg(a);
            o.output = *v;
        } else if (a.startsWith("--output=")) {
            o.output = a.mid(9);
        } else if (a == "--threads" || a.startsWith("--threads=")) {
            std::optional<QString> v = a == "--threads" ? value(a) : a.mid(10);
            bool ok = false;
            const int n = v ? v->toInt(&ok) : 0;
            if (!ok || n < 1 || n > 256)
                return QStringLiteral("--threads needs a whole number from 1 to 256");
            o.threads = n;
        } else if (a == "--fill" || a.startsWith("--fill=")) {
            const std::optional<QString> v = a == "--fill" ? value(a) : a.mid(7);
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

// The mask's grey bytes at its own stored size (turned upright like the photo); no
// scaling, which would blur the paint.
std::optional<std::vector<uint8_t>> readMask(const QString& path, qint64 w, qint64 h,
                                             QString& error) {
    QImageReader reader(path);
    if (!Imaging::canOpen(reader)) {
        error = QStringLiteral("Couldn't read the mask %1 as an image.").arg(path);
        return std::nullopt;
    }
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (stored.isValid() && qint64(stored.width()) * stored.height() > Imaging::kMaxStoredPixels) {
        error = QStringLiteral("The mask %1 is too large.").arg(path);
        return std::nullopt;
    }
    QImage image = reader.read();
    if (image.isNull()) {
        error = QStringLiteral("Couldn't decode the mask %1.").arg(path);
        return std::nullopt;
    }
    if (image.width() != w || image.height() != h) {
        error = QStringLiteral("The mask is %1 pixels but the image decodes to %2 pixels.")
                    .arg(sizeText(image.width(), image.height()), sizeText(w, h));
        return std::nullopt;
    }
    image = image.convertToFormat(QImage::Format_Grayscale8);
    std::vector<uint8_t> bytes(size_t(w) * size_t(h));
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(bytes.data() + size_t(y) * size_t(w), image.constScanLine(y), size_t(w));
    return bytes;
}

class ProgressBar {
public:
    explicit ProgressBar(FILE* err) : err_(err) {}
    void show(double value) {
        const int percent = int(value * 100.0);
        if (percent == last_)
            return;
        last_ = percent;
        constexpr int kWidth = 30;
        const int filled = int(value * kWidth);
        std::fprintf(err_, "\rErasing [%.*s%.*s] %3d%%", filled, "##############################",
                     kWidth - filled, "                              ", percent);
        std::fflush(err_);
    }
    void finish() {
        if (last_ >= 0)
            std::fputs("\n", err_);
    }

private:
    FILE* err_;
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
    auto fail = [&](const QString& text) {
        std::fprintf(err, "mirelo-erase: %s\n", qPrintable(text));
        return kExitFailure;
    };

    QElapsedTimer timer;
    timer.start();
    Imaging::Decoded decoded = Imaging::decodeFile(options.input);
    if (!decoded.image)
        return fail(QStringLiteral("%1: %2").arg(options.input, Imaging::message(decoded.error)));
    PixelImage image = std::move(*decoded.image);
    QString maskError;
    const auto mask = readMask(options.mask, image.width(), image.height(), maskError);
    if (!mask)
        return fail(maskError);
    const qint64 decodeMs = timer.restart();

    ProgressBar bar(err);
    Inpainter::Progress progress;
    if (showProgress && !options.quiet)
        progress = [&bar](double value) { bar.show(value); };
    image = Inpainter::run(std::move(image), *mask, progress, options.threads, options.method);
    bar.finish();
    const qint64 eraseMs = timer.restart();

    const Imaging::SaveError saved = Imaging::savePng(Imaging::makeQImage(image), options.output);
    if (saved != Imaging::SaveError::None)
        return fail(QStringLiteral("%1: %2").arg(options.output, Imaging::message(saved)));
    const qint64 encodeMs = timer.elapsed();

    if (options.verbose && !options.quiet)
        std::fprintf(err, "decode %lld ms, erase %lld ms, encode %lld ms\n", decodeMs, eraseMs,
                     encodeMs);
    return kExitOk;
}

} // namespace EraseCommand
