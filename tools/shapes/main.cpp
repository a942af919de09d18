// Writes the named meshes (OBJ) and icons (PNG) into the directory given as the first argument:
//   kelvaros-shapes OUTPUT_DIRECTORY NAME...
// Names: Sphere.obj, TrackingPointer.obj, TrackingPointerExtended.obj, Bullseye.obj, SingleRing.obj, Recenter.png,
// IconArrowLeft.png, IconArrowRight.png, PlaybackPlay.png, PlaybackStop.png.

#include <cstdio>
#include <functional>
#include <map>

#include <QDir>
#include <QImage>
#include <QString>

#include "Icons.h"
#include "Shapes.h"

using namespace Kelvaros::Tools;

namespace
{

std::function<bool(const QString&)> mesh(std::function<ObjMesh()> make)
{
    return [make](const QString& path) { return make().write(path); };
}

std::function<bool(const QString&)> icon(Icons::Icon which)
{
    return [which](const QString& path)
    {
        const bool saved = Icons::draw(which, 64).save(path, "PNG");
        if (!saved)
            std::fprintf(stderr, "%s: cannot write\n", qPrintable(path));
        return saved;
    };
}

} // namespace

int main(int argc, char** argv)
{
    // The sphere of the calibration wizard: 32 latitude bands of 64 steps, radius 4 mm.
    const std::map<QString, std::function<bool(const QString&)>> writers{
        { "Sphere.obj", mesh([] { return Shapes::sphere(4, 32, 64); }) },
        { "TrackingPointer.obj", mesh([] { return Shapes::pointer(false); }) },
        { "TrackingPointerExtended.obj", mesh([] { return Shapes::pointer(true); }) },
        { "Bullseye.obj", mesh(Shapes::bullseye) },
        { "SingleRing.obj", mesh([] { return Shapes::ring(3.5f, 4.5f, 0.8f); }) },
        { "Recenter.png", icon(Icons::Icon::Recenter) },
        { "IconArrowLeft.png", icon(Icons::Icon::ArrowLeft) },
        { "IconArrowRight.png", icon(Icons::Icon::ArrowRight) },
        { "PlaybackPlay.png", icon(Icons::Icon::Play) },
        { "PlaybackStop.png", icon(Icons::Icon::Stop) },
    };
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY NAME...\n", argv[0]);
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    if (!directory.mkpath("."))
    {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i)
    {
        const auto writer = writers.find(QString::fromLocal8Bit(argv[i]));
        if (writer == writers.end())
        {
            std::fprintf(stderr, "unknown resource %s\n", argv[i]);
            status = 2;
        }
        else if (!writer->second(directory.filePath(writer->first)))
            status = 1;
    }
    return status;
}
