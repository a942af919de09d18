// Draws the tool calibration animations and writes them as GIF files into the directory given as the argument.
// Prints the generation time as FIGURE lines.

#include <chrono>
#include <cstdio>
#include <ctime>

#include <QDir>
#include <QString>

#include "CalibrationAnimations.h"
#include "GifWriter.h"
#include "Palette.h"

using Kelvaros::Tools::CalibrationAnimations;
using Kelvaros::Tools::GifWriter;
using Kelvaros::Tools::Palette;

namespace
{

QString write(const CalibrationAnimations::Animation& animation, const QDir& directory, const Palette& palette)
{
    GifWriter writer(directory.filePath(animation.fileName),
                     QSize(CalibrationAnimations::kSize, CalibrationAnimations::kSize), palette);
    for (int i = 0; i < animation.frames; ++i)
        if (!writer.addFrame(CalibrationAnimations::frame(animation.motion, i, animation.frames),
                             animation.delayCentiseconds))
            break;
    return writer.finish() ? QString() : writer.errorString();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t startCpu = std::clock();
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    if (!directory.mkpath("."))
    {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const Palette palette(CalibrationAnimations::keyColors());
    // One after the other: Qt's painting keeps shared caches that ThreadSanitizer builds flag when several threads
    // draw at once, and the whole run takes a few seconds anyway.
    int status = 0;
    for (const auto& animation : CalibrationAnimations::all())
    {
        const QString error = write(animation, directory, palette);
        if (!error.isEmpty())
        {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            status = 1;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    // Wall time is what the build waits for; processor time tells the work apart from a busy machine.
    std::printf("FIGURE resources_generate_s %.2f\n", elapsed.count());
    std::printf("FIGURE resources_generate_cpu_s %.2f\n", double(std::clock() - startCpu) / CLOCKS_PER_SEC);
    return status;
}
