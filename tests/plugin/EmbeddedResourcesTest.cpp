#include <cmath>
#include <memory>

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QResource>

#include <Eigen/Core>
#include <gtest/gtest.h>

#include "gui/scene/InteractiveButtonOverlay.h"
#include "lib/PluginLoader.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshIO.h"

using namespace Kelvaros;

namespace
{

// QImageReader finds its GIF plug-in through the application.
class GuiApplicationEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "EmbeddedResourcesTest";
        static char* argv[] = { name, nullptr };
        static QGuiApplication application(argc, argv);
    }
};
::testing::Environment* const kApplication = ::testing::AddGlobalTestEnvironment(new GuiApplicationEnvironment);

const QString kSphere = ":/Navigation/Sphere.obj";

/// The plug-in's resources exist only while its module is loaded, as in the host.
class NavigationResources : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        loader = std::make_unique<PluginLoader>();
        ASSERT_NE(loader->load(NAVIGATION_PLUGIN_PATH), nullptr);
    }
    static void TearDownTestSuite()
    {
        loader->unloadAll();
        loader.reset();
    }
    static inline std::unique_ptr<PluginLoader> loader;
};

} // namespace

TEST(NavigationResourcesLifetime, RegisteredAtLoadAndGoneAtUnload)
{
    EXPECT_FALSE(QFile::exists(kSphere));
    PluginLoader loader;
    ASSERT_NE(loader.load(NAVIGATION_PLUGIN_PATH), nullptr);
    EXPECT_TRUE(QFile::exists(kSphere));
    loader.unloadAll();
    EXPECT_FALSE(QFile::exists(kSphere));
}

TEST_F(NavigationResources, AnimationsAreEndlessGif89aWithTheirFramesAndDelays)
{
    const struct
    {
        const char* path;
        int frames;
        int delayMs;
    } animations[] = {
        { ":/Navigation/ToolCalibration/pivoting.gif", 121, 50 },
        { ":/Navigation/ToolCalibration/flip.gif", 61, 100 },
        { ":/Navigation/ToolCalibration/rotation.gif", 61, 100 },
        { ":/Navigation/ToolCalibration/dip.gif", 31, 100 },
    };
    for (const auto& animation : animations)
    {
        SCOPED_TRACE(animation.path);
        QFile file(animation.path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.read(6), "GIF89a");
        EXPECT_EQ(QResource(animation.path).compressionAlgorithm(), QResource::NoCompression);

        QImageReader reader(animation.path);
        EXPECT_EQ(reader.size(), QSize(1024, 1024));
        EXPECT_EQ(reader.imageCount(), animation.frames);
        EXPECT_EQ(reader.loopCount(), -1); // Qt's "forever", from the loop count 0 in the file
        int frames = 0;
        for (QImage frame = reader.read(); !frame.isNull(); frame = reader.read(), ++frames)
        {
            EXPECT_EQ(frame.size(), QSize(1024, 1024));
            EXPECT_EQ(reader.nextImageDelay(), animation.delayMs) << "frame " << frames;
        }
        EXPECT_EQ(frames, animation.frames);
    }
}

TEST_F(NavigationResources, SphereIsACompressedRadiusFourUvSphere)
{
    EXPECT_EQ(QResource(kSphere).compressionAlgorithm(), QResource::ZlibCompression);
    QFile file(kSphere);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
    int vertices = 0, normals = 0, faces = 0;
    while (!file.atEnd())
    {
        const QList<QByteArray> fields = file.readLine().simplified().split(' ');
        if (fields[0] == "v" && fields.size() == 4)
        {
            const Eigen::Vector3d v(fields[1].toDouble(), fields[2].toDouble(), fields[3].toDouble());
            EXPECT_NEAR(v.norm(), 4.0, 1e-5) << "vertex " << vertices;
            ++vertices;
        }
        normals += fields[0] == "vn";
        if (fields[0] == "f" && fields.size() == 4)
        {
            ++faces;
            for (int corner = 1; corner < 4; ++corner)
            {
                const QList<QByteArray> indices = fields[corner].split('/');
                ASSERT_EQ(indices.size(), 3);
                EXPECT_TRUE(indices[1].isEmpty());
                EXPECT_EQ(indices[0], indices[2]) << "face " << faces;
            }
        }
    }
    EXPECT_EQ(vertices, 1986);
    EXPECT_EQ(normals, 1986);
    EXPECT_EQ(faces, 3968);

    const auto mesh = MeshIO::loadFile(kSphere.toStdString(), nullptr, true);
    ASSERT_NE(mesh, nullptr);
    EXPECT_EQ(mesh->faces().size(), 3968u);
}

// The host's meshes are placed by the tool pose: a pointer's tip at the origin with its shaft along +z, the rings
// flat in the xy plane about the origin.
TEST(HostResources, MeshesLoadInTheirFrames)
{
    const struct
    {
        const char* path;
        double minZ;
        double maxZ;
    } meshes[] = {
        { ":/TrackingPointer.obj", 0.0, 206.5 },
        { ":/TrackingPointerExtended.obj", -150.0, 206.5 },
        { ":/Bullseye.obj", -0.4, 0.4 },
        { ":/SingleRing.obj", -0.4, 0.4 },
    };
    for (const auto& expected : meshes)
    {
        SCOPED_TRACE(expected.path);
        const auto mesh = MeshIO::loadFile(expected.path);
        ASSERT_NE(mesh, nullptr);
        EXPECT_GT(mesh->faces().size(), 100u);
        const Eigen::AlignedBox3d box = mesh->boundingBox();
        EXPECT_NEAR(box.min().z(), expected.minZ, 1e-3);
        EXPECT_NEAR(box.max().z(), expected.maxZ, 1e-3);
        EXPECT_NEAR(box.center().x(), 0.0, 1e-3);
        EXPECT_NEAR(box.center().y(), 0.0, 1e-3);
    }
}

TEST(HostResources, IconsLoadWithTransparentBackground)
{
    for (const char* path : { ":/icons/Recenter.png", ":/icons/64/IconArrowLeft.png", ":/icons/64/IconArrowRight.png",
                              ":/PlaybackPlay.png", ":/PlaybackStop.png" })
    {
        SCOPED_TRACE(path);
        const QImage icon(path);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.size(), QSize(64, 64));
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(icon.pixel(32, 32)), 255);
    }
    // The view's button finds its icon (it logs a warning otherwise).
    InteractiveButtonOverlay(5).setIcon(QString(":/icons/Recenter.png"));
}
