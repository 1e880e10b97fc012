// Writes the benchmark photo and its three masks as PNG files into a folder, for timing
// whole command-line runs (bench/erase_vs_telea.sh).
#include "benchimages.h"
#include "imaging.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Imaging::configureImageReader();
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-bench-images FOLDER\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    dir.mkpath(".");
    if (Imaging::savePng(Imaging::makeQImage(BenchImages::photo()), dir.filePath("photo.png")) !=
        Imaging::SaveError::None)
        return 1;
    for (auto c : {BenchImages::Case::ThinStroke, BenchImages::Case::FeatheredDisc,
                   BenchImages::Case::Blob}) {
        const auto m = BenchImages::mask(c);
        QImage gray(int(BenchImages::kWidth), int(BenchImages::kHeight), QImage::Format_Grayscale8);
        for (int y = 0; y < gray.height(); ++y)
            std::memcpy(gray.scanLine(y), m.data() + size_t(y) * size_t(gray.width()),
                        size_t(gray.width()));
        if (!gray.save(dir.filePath(QString(BenchImages::name(c)) + ".png")))
            return 1;
    }
    return 0;
}
