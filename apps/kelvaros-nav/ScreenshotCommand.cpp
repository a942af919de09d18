#include "ScreenshotCommand.h"

#include <cstdio>
#include <memory>

#include <QApplication>
#include <QSize>

#include "gui/scene/GlLine.h"
#include "gui/scene/GlMesh.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "gui/view/InteractionView3D.h"
#include "gui/view/InteractiveView.h"
#include "lib/DataList.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/view/Slice.h"

#include "CommandLine.h"
#include "ExitCode.h"
#include "imageio/PhantomVolume.h"
#include "imageio/VolumeIO.h"

namespace Kelvaros::Nav
{

const char* const kScreenshotUsage =
  "  screenshot OUT.png [--volume FILE] [--size WxH]\n"
  "               the four-view display with the volume (default: the simulator's phantom, registered)\n"
  "               and the needle 10 mm short of its target; needs an X display (e.g. Xvfb);\n"
  "               --size in pixels (default 1280x800)\n";

namespace
{
int fail(int code, const std::string& error)
{
    std::fprintf(stderr, "kelvaros-nav screenshot: %s\n", error.c_str());
    return code;
}

std::optional<QSize> parseSize(const std::string& text)
{
    int width = 0, height = 0;
    char separator = 0, rest = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &width, &separator, &height, &rest) != 3 || separator != 'x')
        return std::nullopt;
    if (width < 64 || height < 64 || width > 8192 || height > 8192)
        return std::nullopt;
    return QSize(width, height);
}

/// A needle in its tool frame: a shaft of 1.5 mm radius from 150 mm behind the tip up to a 6 mm bevel-free point
/// at the tip, along the tool's axis.
std::shared_ptr<Mesh> needleMesh(const TrackingSimulator::Tool& tool)
{
    constexpr double kShaft = 150.0, kPoint = 6.0, kRadius = 1.5;
    auto shaft = MeshCreator::createCylinder(kRadius, kShaft, 24);
    auto point = MeshCreator::createCone(kRadius, kPoint, 24);
    const Eigen::Vector3d axis = tool.axis_Tool.normalized();
    const Eigen::Matrix3d rotation = Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), axis).matrix();
    const Eigen::Vector3d shaftStart = tool.tipOffset_Tool - (kShaft + kPoint) * axis;
    const Eigen::Vector3d pointStart = tool.tipOffset_Tool - kPoint * axis;
    std::vector<Eigen::Vector3d> vertices;
    std::vector<Eigen::Vector3i> faces;
    for (const auto& [part, start] : { std::pair{ shaft.get(), shaftStart }, std::pair{ point.get(), pointStart } })
    {
        const int offset = int(vertices.size());
        for (const Eigen::Vector3d& v : part->vertices())
            vertices.push_back(start + rotation * v);
        for (const Eigen::Vector3i& f : part->faces())
            faces.push_back(f + Eigen::Vector3i::Constant(offset));
    }
    auto mesh = std::make_shared<Mesh>(std::move(vertices), std::move(faces));
    mesh->computeVertexNormals();
    return mesh;
}

/// The first frame of the insertion scenario at which the needle tip has gone `depth` mm beyond the entry point
/// (the deepest frame of the first minute when it never does).
int64_t frameAtDepth(const TrackingSimulator& simulator, double depth)
{
    int64_t deepest = 0;
    for (int64_t k = 0; k < int64_t(simulator.settings().rateHz * 60); ++k)
    {
        if (simulator.insertionDepth(k) >= depth)
            return k;
        if (simulator.insertionDepth(k) > simulator.insertionDepth(deepest))
            deepest = k;
    }
    return deepest;
}

std::unique_ptr<SharedImageSet> loadVolume(const CommandLine& line, std::string* error)
{
    const TrackingSimulator::GroundTruth& truth = TrackingSimulator::groundTruth();
    if (const auto path = line.value("volume"))
    {
        VolumeIO::LoadResult loaded = VolumeIO::load(*path);
        if (!loaded.image)
            *error = *path + ": refused (see the message above)";
        return std::move(loaded.image);
    }
    auto phantom = PhantomVolume::create(truth);
    // Registered as a session would leave it: image space is tracker space.
    phantom->setMatrix(truth.phantomToTracker * phantom->matrix());
    return phantom;
}
} // namespace

int runScreenshot(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "volume", "size" }, {}, 1, 1 });
    if (!line.ok())
        return fail(ExitUsage, line.error() + " (screenshot OUT.png [--volume FILE] [--size WxH])");
    const auto size = parseSize(line.value("size").value_or("1280x800"));
    if (!size)
        return fail(ExitUsage, "--size must be WIDTHxHEIGHT, each from 64 to 8192 pixels");
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return fail(ExitFailure, "no X display: run it under Xvfb (scripts/screenshot does)");

    std::string error;
    const std::unique_ptr<SharedImageSet> volume = loadVolume(line, &error);
    if (!volume)
        return fail(ExitBadInput, error);

    InteractiveView::prepareApplication();
    static int argc = 1;
    static char name[] = "kelvaros-nav";
    static char* argv[] = { name, nullptr };
    QApplication application(argc, argv);

    const TrackingSimulator::GroundTruth& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator::Tool* needle = truth.tool("Needle");
    const TrackingSimulator simulator({ 60.0, 0.0, 0.0, TrackingSimulator::Scenario::Insertion, 1 });
    const double pathLength = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();
    const Eigen::Matrix4d needlePose = simulator.truePose(needle->id, frameAtDepth(simulator, pathLength - 10.0));
    const Eigen::Vector3d tip = (needlePose * needle->tipOffset_Tool.homogeneous()).head<3>();

    DisplayWidgetMulti display;
    display.setVisibleData(DataList{ volume.get() });

    GlMesh needleObject(needleMesh(*needle), "Needle");
    needleObject.setColor({ 1, 1, 0 });
    needleObject.setFrontMaterial({ 0.3, 0.3, 0 }, { 1, 1, 0 }, { 1, 1, 1 }, 100);
    needleObject.setLineColor({ 1, 1, 0, 1 });
    needleObject.setLineWidth(2);
    needleObject.setRenderMode2d(1); // the whole needle, flattened onto each slice
    needleObject.setMatrix(needlePose);
    GlLine path("Planned path");
    path.setPoints({ truth.pathEntry_Tracker, truth.pathTarget_Tracker });
    path.setColor({ 1, 0, 0 });
    path.setLabelVisible(false);
    display.viewGroup(0)->addObject(&needleObject);
    display.viewGroup(0)->addObject(&path);

    for (int plane = 0; plane < 3; ++plane)
    {
        GlSliceView& slice = display.viewSlice(plane)->sliceView();
        Slice at = slice.slice();
        at.setOrigin(tip);
        slice.setSlice(at);
    }
    ImageView3D& view3D = *display.view3D(0);
    Camera camera = view3D.volumeView().camera();
    const Eigen::Vector3d direction = (camera.position() - camera.centre()).normalized();
    camera.setLookAt(tip + 300.0 * direction, tip, camera.upVector());
    view3D.volumeView().setCamera(camera);
    view3D.interaction().setSceneCenter(tip);

    const QString out = QString::fromStdString(line.positional().front());
    if (!display.saveScreenshot(out, *size))
        return fail(ExitOutputError, "cannot write " + line.positional().front() + " (see the message above)");
    std::printf("Wrote a %dx%d screenshot of the four-view display to %s\n", size->width(), size->height(),
                line.positional().front().c_str());
    return ExitSuccess;
}

} // namespace Kelvaros::Nav
