// telea-erase INPUT MASK -o OUTPUT: OpenCV's Telea inpainting (radius 3) with the same
// command-line shape as mirelo-erase, for timing whole runs side by side.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/photo.hpp>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 5 || std::strcmp(argv[3], "-o") != 0) {
        std::fprintf(stderr, "usage: telea-erase INPUT MASK -o OUTPUT\n");
        return 2;
    }
    const cv::Mat image = cv::imread(argv[1], cv::IMREAD_COLOR);
    const cv::Mat mask = cv::imread(argv[2], cv::IMREAD_GRAYSCALE);
    if (image.empty() || mask.empty() || image.size() != mask.size()) {
        std::fprintf(stderr, "telea-erase: cannot read the inputs\n");
        return 1;
    }
    cv::Mat out;
    cv::inpaint(image, mask, out, 3.0, cv::INPAINT_TELEA);
    return cv::imwrite(argv[4], out) ? 0 : 1;
}
