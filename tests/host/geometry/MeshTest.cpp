#include "lib/geometry/Mesh.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fcntl.h>
#include <future>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QTemporaryDir>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/Log.h"
#include "lib/Progress.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshFileBounds.h"
#include "lib/geometry/MeshIO.h"

#include "GeometryTestSupport.h"
#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{

/// Volume enclosed by a closed mesh (divergence theorem): positive only when every face winds outward.
double signedVolume(const Mesh& mesh)
{
    double volume = 0.0;
    for (const Eigen::Vector3i& f : mesh.faces())
        volume += mesh.vertices()[f[0]].dot(mesh.vertices()[f[1]].cross(mesh.vertices()[f[2]])) / 6.0;
    return volume;
}

TEST(MeshCreatorTest, SphereHasTheStatedLayoutAndOutwardNormals)
{
    const double radius = 5.0;
    const struct
    {
        int subdivisions;
        bool flat;
        std::size_t vertices, faces;
    } cases[] = { { 32, false, 1986, 3968 }, { 2, false, 6, 8 }, { 1, false, 6, 8 }, { 6, true, 3 * 120, 120 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.subdivisions << (c.flat ? " flat" : " smooth"));
        const std::unique_ptr<Mesh> sphere = MeshCreator::createSphere(radius, c.subdivisions, c.flat);
        ASSERT_TRUE(sphere);
        EXPECT_EQ(sphere->vertices().size(), c.vertices);
        ASSERT_EQ(sphere->faces().size(), c.faces);
        ASSERT_EQ(sphere->vertexNormals().size(), c.vertices);
        const std::vector<Eigen::Vector3d> faceNormals = sphere->faceNormals();
        for (std::size_t f = 0; f < c.faces; ++f)
            for (int index : sphere->faces()[f])
            {
                const Eigen::Vector3d& v = sphere->vertices()[index];
                EXPECT_NEAR(v.norm(), radius, 1e-12);
                EXPECT_GT(faceNormals[f].dot(v), 0.5 * radius) << f; // faces wind outward
                const Eigen::Vector3d expected = c.flat ? faceNormals[f] : Eigen::Vector3d(v / radius);
                EXPECT_LT((sphere->vertexNormals()[index] - expected).norm(), 1e-12) << f;
            }
        EXPECT_LT((sphere->boundingBox().max() - Eigen::Vector3d::Constant(radius)).norm(), 1e-12);
    }
}

TEST(MeshCreatorTest, CylinderAndConeAreClosedAndOutward)
{
    const int segments = 12;
    const double radius = 3.0, height = 7.0;
    const double prism = 0.5 * segments * radius * radius * std::sin(2.0 * EIGEN_PI / segments) * height;
    EXPECT_NEAR(signedVolume(*MeshCreator::createCylinder(radius, height, segments)), prism, 1e-9);
    EXPECT_NEAR(signedVolume(*MeshCreator::createCone(radius, height, segments)), prism / 3.0, 1e-9);

    Testing::LogExpectation refused(Log::Error, "cannot create", 3);
    EXPECT_FALSE(MeshCreator::createSphere(0.0, 32));
    EXPECT_FALSE(MeshCreator::createSphere(std::nan(""), 32));
    EXPECT_FALSE(MeshCreator::createCone(radius, -1.0, segments));
}

// One vertex between a long thin face in z = 0 (normal +z, area 5, corner angle atan(0.1)) and a small right
// triangle in x = 0 (normal +x, area 0.5, corner angle 90 degrees): each weighting tilts the normal differently.
TEST(MeshTest, VertexNormalWeightingsDiffer)
{
    Mesh mesh({ Eigen::Vector3d::Zero(), { 10.0, 0.0, 0.0 }, { 10.0, 1.0, 0.0 }, { 0.0, 1.0, 0.0 }, { 0.0, 0.0, 1.0 } },
              { { 0, 1, 2 }, { 0, 3, 4 }, { 0, 1, 7 } }); // the last face indexes a missing vertex: dropped
    ASSERT_EQ(mesh.faces().size(), 2u);
    const double thin = std::atan(0.1), right = EIGEN_PI / 2.0; // corner angles
    const std::pair<int, Eigen::Vector3d> cases[] = { { Mesh::Uniform, { 1.0, 0.0, 1.0 } },
                                                      { Mesh::FaceArea, { 0.5, 0.0, 5.0 } },
                                                      { Mesh::CornerAngle, { right, 0.0, thin } },
                                                      { Mesh::AngleAndArea, { 0.5 * right, 0.0, 5.0 * thin } } };
    for (const auto& [weighting, sum] : cases)
    {
        mesh.computeVertexNormals(weighting);
        EXPECT_LT((mesh.vertexNormals()[0] - sum.normalized()).norm(), 1e-12) << weighting;
    }
}
// Under a non-uniform scale the normals must follow the inverse transpose, or they stop being perpendicular.
TEST(MeshTest, TransformKeepsNormalsPerpendicular)
{
    Mesh mesh({ { 1.0, 0.0, 0.0 }, { 0.0, 1.0, 0.0 }, { 0.0, 0.0, 1.0 } }, { { 0, 1, 2 } });
    mesh.computeVertexNormals();
    std::mt19937 rng(7);
    Eigen::Matrix4d matrix = Testing::randomRigid(rng);
    matrix.topLeftCorner<3, 3>() *= Eigen::Vector3d(1.0, 4.0, 0.5).asDiagonal();
    mesh.transform(matrix);
    EXPECT_LT((mesh.vertices()[0] - Testing::apply(matrix, Eigen::Vector3d::UnitX())).norm(), 1e-12);
    EXPECT_LT((mesh.vertexNormals()[2] - mesh.faceNormals()[0]).norm(), 1e-12);
}

/// A tetrahedron with outward faces as STL: ASCII, or binary (80-byte header, triangle count, then per triangle
/// the normal and three vertices as little-endian floats, and 2 spare bytes).
std::string tetrahedronStl(bool binary)
{
    const Eigen::Vector3f corner[4] = { { 0, 0, 0 }, { 10, 0, 0 }, { 0, 10, 0 }, { 0, 0, 10 } };
    const int faces[4][3] = { { 0, 2, 1 }, { 0, 1, 3 }, { 0, 3, 2 }, { 1, 2, 3 } };
    const std::uint32_t count = 4;
    std::string out =
      binary ? std::string(80, ' ') + std::string(reinterpret_cast<const char*>(&count), 4) : "solid t\n";
    for (const auto& f : faces)
    {
        const Eigen::Vector3f a = corner[f[0]], b = corner[f[1]], c = corner[f[2]];
        const Eigen::Vector3f v[4] = { (b - a).cross(c - a).normalized(), a, b, c };
        for (int k = 0; k < 4; ++k)
            out += binary ? std::string(reinterpret_cast<const char*>(v[k].data()), 12)
                          : fmt::format("{} {} {} {}\n{}", k == 0 ? "facet normal" : "vertex", v[k].x(), v[k].y(),
                                        v[k].z(), k == 0 ? "outer loop\n" : "");
        out += binary ? std::string(2, '\0') : "endloop\nendfacet\n";
    }
    return binary ? out : out + "endsolid t\n";
}

// An OBJ quad split over two groups, sharing two vertices.
const std::string kObj = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 0 0\nv 2 1 0\n"
                         "g left\nf 1 2 3 4\ng right\nf 2 5 6 3\n";
const std::string kPly = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                         "property float z\n"
                         "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                         "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";

TEST(MeshIOTest, ReadsObjStlAndPly)
{
    const double tetrahedron = 1000.0 / 6.0; // mm^3
    const struct
    {
        const char* path;
        std::string bytes;
        bool keepFileNormals;
        std::size_t vertices, faces;
        double volume;
        Eigen::Vector3d firstFaceNormal;
    } cases[] = {
        { "quads.OBJ", kObj, false, 6, 4, 0.0, Eigen::Vector3d::UnitZ() },
        { ":/resource/tetra.stl", tetrahedronStl(false), false, 4, 4, tetrahedron, -Eigen::Vector3d::UnitZ() },
        { "tetra-binary.stl", tetrahedronStl(true), false, 4, 4, tetrahedron, -Eigen::Vector3d::UnitZ() },
        // Each facet keeps its own normal, so the corners do not join.
        { "faceted.stl", tetrahedronStl(true), true, 12, 4, tetrahedron, -Eigen::Vector3d::UnitZ() },
        { "triangle.ply", kPly, false, 3, 1, 0.0, Eigen::Vector3d::UnitZ() },
        { "windows-lines.ply", std::regex_replace(kPly, std::regex("\n"), "\r\n"), false, 3, 1, 0.0,
          Eigen::Vector3d::UnitZ() },
        // A face without corners is dropped; assimp's triangulation would abort on it.
        { "empty-face.ply",
          kPly.substr(0, kPly.find("element face 1")) + "element face 2" +
            kPly.substr(kPly.find("element face 1") + 14) + "0\n",
          false, 3, 1, 0.0, Eigen::Vector3d::UnitZ() },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.path);
        const std::unique_ptr<Mesh> mesh =
          MeshIO::load(c.bytes.data(), c.bytes.size(), c.path, nullptr, c.keepFileNormals);
        ASSERT_TRUE(mesh);
        EXPECT_EQ(mesh->vertices().size(), c.vertices);
        ASSERT_EQ(mesh->faces().size(), c.faces);
        EXPECT_NEAR(signedVolume(*mesh), c.volume, 1e-3);
        EXPECT_LT((mesh->faceNormals()[0] - c.firstFaceNormal).norm(), 1e-6);
        ASSERT_EQ(mesh->vertexNormals().size(), c.vertices);
        // Kept or computed, the normal of the first face's first corner leans the same way as the face.
        EXPECT_GT(mesh->vertexNormals()[mesh->faces()[0][0]].dot(c.firstFaceNormal), c.keepFileNormals ? 0.999 : 0.5);
    }
}

TEST(MeshIOTest, RefusesMalformedInputNamingThePath)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        { "noise.obj", "this is not a mesh\n" },
        { "truncated.stl", tetrahedronStl(true).substr(0, 84 + 50 + 20) },
        { "broken.ply", "ply\nformat ascii 1.0\nelement vertex 2\nend_header\n1 2\n" },
        { "empty.obj", "" },
        { "points-only.obj", "v 0 0 0\nv 1 0 0\n" },
        { "model.3ds", kObj },
    };
    for (const auto& [path, bytes] : cases)
    {
        SCOPED_TRACE(path);
        Testing::LogExpectation refused(Log::Error, path, 1);
        EXPECT_FALSE(MeshIO::load(bytes.data(), bytes.size(), path));
    }
    // OBJ statements are checked in full before assimp sees them: its parser reads on past a statement it does not
    // expect, and has corrupted its heap on such lines.
    const auto obj = [](const std::string& text)
    { return MeshFileBounds::whyRefused(text.data(), text.size(), "obj"); };
    EXPECT_EQ(obj("v 0 0 v 0 0 0\n"), "line 1: 'v' needs the right count of finite numbers");
    EXPECT_EQ(obj("v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\nf -1 -2 -4//1\n"),
              "line 5: corner '-4//1' is not a vertex index");
    EXPECT_EQ(obj("v 0 0 0\nf 1 2 3\n"), "a face names vertex 3, but the file defines 1");
    EXPECT_EQ(obj("mtllib \\\\\\\r\r\r\r#\\"), "line 1: a control character");
    EXPECT_EQ(obj("mtllib ..\\model.mtl\r\n"), "line 1: 'mtllib' names a file with a backslash or a character beyond "
                                               "ASCII");
    // A PLY element declared twice: assimp sized the first and wrote the second past its end.
    const std::string twice =
      kPly.substr(0, kPly.find("element face")) + "element vertex 3\n" + kPly.substr(kPly.find("element face"));
    EXPECT_EQ(MeshFileBounds::whyRefused(twice.data(), twice.size(), "ply"),
              "line 7 of the PLY header declares element 'vertex' again");
    const std::string digits = "ply\nformat ascii 1.0\nelement 8888888888vertex 1\nend_header\n1999";
    EXPECT_EQ(MeshFileBounds::whyRefused(digits.data(), digits.size(), "ply"),
              "line 3 of the PLY header is not 'element NAME COUNT'");
    EXPECT_EQ(obj(kObj + "# comment\nvt 0.5 1\nvn 0 0 1\nf 1/1/1 2//1 3/1\n"), "");
    Testing::LogExpectation missing(Log::Error, "/nonexistent/mesh.obj: cannot open", 1);
    EXPECT_FALSE(MeshIO::loadFile("/nonexistent/mesh.obj"));
    struct Cancelled : Progress
    {
        void setProgress(double, const std::string&) override {}
        bool wasCanceled() const override { return true; }
    } cancelled;
    EXPECT_FALSE(MeshIO::load(kObj.data(), kObj.size(), "cancelled.obj", &cancelled));
}

// Counts a header announces are checked against the bytes that follow and against the reading budget before
// the parser allocates for them.
TEST(MeshIOTest, RefusesAnnouncedCountsTheFileCannotHoldOrTheBudgetExceeds)
{
    // One triangle's vertices, then the faces the test announces.
    const std::string faceList = "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
                                 "property float y\nproperty float z\nelement face {}\n"
                                 "property list uchar int vertex_indices\nend_header\n" +
                                 std::string(36, '\0');
    std::string uintCounts = fmt::format(faceList, 1);
    uintCounts.replace(uintCounts.find("uchar"), 5, "uint");
    const std::vector<std::pair<std::string, std::string>> cases{
        { "huge-ascii.ply", kPly.substr(0, 36) + "179000000" + kPly.substr(37) },
        { "huge-binary.ply", fmt::format(faceList, 500000000) + "0000" },
        { "over-budget.ply",
          fmt::format(faceList, MeshFileBounds::kMaxFaces + 1) + std::string(MeshFileBounds::kMaxFaces + 1, '\0') },
        // assimp allocates a list by its announced length before reading the items.
        { "long-list-ascii.ply", kPly.substr(0, kPly.rfind('3')) + "99999999999999999999 0 1 2\n" },
        { "long-list-binary.ply", uintCounts + std::string("\xff\xff\xff\x0f", 4) + std::string(12, '\0') },
        { "cut-short.ply", kPly.substr(0, kPly.size() - 4) },
        // Its numbers would fill the elements if lines did not matter, but assimp reads one element per line: the
        // list's length would be the last line's first number.
        { "split-vertex.ply", kPly.substr(0, kPly.find("1 0 0\n")) + "1 0\n0 0 1 0\n3 0 1 2\n" },
        // assimp ends a line at a lone carriage return too: the same shift.
        { "lone-return.ply", kPly.substr(0, kPly.find("1 0 0\n")) + "\r1 0 0\n0 1 0\n3 0 1 2\n999999999 0\n" },
    };
    for (const auto& [path, bytes] : cases)
    {
        SCOPED_TRACE(path);
        Testing::LogExpectation refused(Log::Error, path + ": not read: it", 1);
        EXPECT_FALSE(MeshIO::load(bytes.data(), bytes.size(), path));
    }
}

// The vertex-joining map cannot order NaN: a file with such a vertex is refused, naming the vertex.
TEST(MeshIOTest, RefusesNonFiniteVerticesNamingThem)
{
    std::string stl = tetrahedronStl(true);
    const float nan = std::nanf("");
    stl.replace(84 + 50 + 12 + 12, 4, reinterpret_cast<const char*>(&nan), 4); // second corner of the second facet
    std::string ply = kPly;
    ply.replace(ply.find("1 0 0\n"), 1, "inf");
    const std::vector<std::pair<std::string, std::string>> cases{
        { "nan.stl", "vertex 5 has a coordinate that is not a finite number" },
        { "inf.ply", "vertex 2 has a coordinate that is not a finite number" },
    };
    for (const auto& [path, message] : cases)
    {
        SCOPED_TRACE(path);
        const std::string& bytes = path == "nan.stl" ? stl : ply;
        Testing::LogExpectation refused(Log::Error, path + ": not read: " + message, 1);
        EXPECT_FALSE(MeshIO::load(bytes.data(), bytes.size(), path));
    }
}

// A pipe would block the reader until someone writes; the test holds the other end, so a regression times out.
TEST(MeshIOTest, RefusesAPipeWithoutBlocking)
{
    QTemporaryDir dir;
    const std::string fifo = dir.filePath("mesh.obj").toStdString();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int holder = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    Testing::LogExpectation refused(Log::Error, fifo + ": cannot open: a pipe (FIFO), not a file", 1);
    auto loading = std::async(std::launch::async, [&fifo] { return MeshIO::loadFile(fifo) != nullptr; });
    EXPECT_EQ(loading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    close(holder); // ends a blocked read
    EXPECT_FALSE(loading.get());
}

TEST(MeshIOTest, SavedObjReadsBack)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("sphere.obj").toStdString();
    std::unique_ptr<Mesh> sphere = MeshCreator::createSphere(5.0, 2);
    ASSERT_TRUE(sphere->setVertexColors(std::vector<Eigen::Vector4d>(6, { 0.25, 0.5, 1.0, 1.0 })));
    ASSERT_TRUE(MeshIO::saveObj(*sphere, path));
    const std::unique_ptr<Mesh> read = MeshIO::loadFile(path, nullptr, true);
    ASSERT_TRUE(read && read->vertices().size() == 6 && read->vertexColors().size() == 6);
    EXPECT_NEAR(signedVolume(*read), signedVolume(*sphere), 1e-5);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_LT((read->vertexNormals()[i] - read->vertices()[i] / 5.0).norm() +
                    (read->vertexColors()[i] - sphere->vertexColors()[0]).norm(),
                  1e-6);
    Testing::LogExpectation unwritable(Log::Error, "/nonexistent/folder/x.obj: cannot write", 1);
    EXPECT_FALSE(MeshIO::saveObj(*sphere, "/nonexistent/folder/x.obj"));
}

} // namespace
} // namespace Kelvaros
