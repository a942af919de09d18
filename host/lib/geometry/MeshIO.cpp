#include "lib/geometry/MeshIO.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <map>
#include <vector>

#include <QFile>

#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fmt/format.h>

#include "core/AtomicFile.h"
#include "core/FileSystem.h"
#include "core/Log.h"
#include "lib/Progress.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshFileBounds.h"

namespace Kelvaros
{

namespace
{

constexpr const char* kCategory = "MeshIO";
/// The largest file read: a binary STL at the triangle limit fits, and a QByteArray holds it.
constexpr std::size_t kMaxFileBytes = std::size_t(1) << 30;

std::string lowerExtension(const std::string& path)
{
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

/// Forwards the parser's progress; assimp reports fractions in [0, 1] (reading, then post-processing) and stops
/// when Update returns false.
class ProgressForwarder : public Assimp::ProgressHandler
{
public:
    explicit ProgressForwarder(Progress& progress) : m_progress(progress) {}
    bool Update(float fraction) override
    {
        if (fraction >= 0.0f)
            m_progress.setProgress(std::min(100.0, 100.0 * fraction), "Reading mesh");
        return !m_progress.wasCanceled();
    }

private:
    Progress& m_progress;
};

/// Gives the parser no files besides the bytes in memory: an OBJ's "mtllib" could otherwise name a pipe or a
/// device and block the reader, and the materials it would bring are not used.
class NoFilesIOSystem : public Assimp::IOSystem
{
public:
    bool Exists(const char*) const override { return false; }
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char*, const char*) override { return nullptr; }
    void Close(Assimp::IOStream* stream) override { delete stream; }
};

/// Collects the triangles of every part of a scene into one vertex list, joining vertices whose position, normal
/// (when kept) and colour are bit-identical: parts of one file share their seams, so the joined mesh is smooth
/// across them and indexed once.
class TriangleCollector
{
public:
    TriangleCollector(bool withNormals, bool withColors) : m_withNormals(withNormals), m_withColors(withColors) {}

    /// False, with the reason, when a vertex has a component that is not a finite number: the joining map cannot
    /// order NaN, so faces would silently point at other vertices. The file is refused rather than patched, as a
    /// mesh with dropped faces would show a hole in an anatomy that a user could take for real.
    bool add(const aiMesh& part, std::string* reason)
    {
        std::vector<int> index(part.mNumVertices);
        for (unsigned v = 0; v < part.mNumVertices; ++v, ++m_fileVertex)
        {
            if (const char* what = nonFinite(part, v))
            {
                *reason = fmt::format("vertex {} has {} that is not a finite number", m_fileVertex + 1, what);
                return false;
            }
            index[v] = join(part, v);
        }
        for (unsigned f = 0; f < part.mNumFaces; ++f)
        {
            const aiFace& face = part.mFaces[f];
            if (face.mNumIndices == 3)
                m_faces.emplace_back(index[face.mIndices[0]], index[face.mIndices[1]], index[face.mIndices[2]]);
        }
        return true;
    }

    [[nodiscard]] std::unique_ptr<Mesh> take()
    {
        auto mesh = std::make_unique<Mesh>(std::move(m_vertices), std::move(m_faces));
        if (m_withNormals)
            (void)mesh->setVertexNormals(std::move(m_normals));
        else
            mesh->computeVertexNormals(Mesh::AngleAndArea);
        if (m_withColors)
            (void)mesh->setVertexColors(std::move(m_colors));
        return mesh;
    }

    [[nodiscard]] bool hasTriangles() const { return !m_faces.empty(); }

private:
    using Key = std::array<float, 10>;

    /// Which part of the vertex the join would use is not finite, or null.
    const char* nonFinite(const aiMesh& part, unsigned v) const
    {
        const auto finite = [](std::initializer_list<float> values)
        { return std::all_of(values.begin(), values.end(), [](float x) { return std::isfinite(x); }); };
        const aiVector3D& p = part.mVertices[v];
        if (!finite({ p.x, p.y, p.z }))
            return "a coordinate";
        if (m_withNormals && !finite({ part.mNormals[v].x, part.mNormals[v].y, part.mNormals[v].z }))
            return "a normal";
        const aiColor4D* c = m_withColors ? &part.mColors[0][v] : nullptr;
        if (c && !finite({ c->r, c->g, c->b, c->a }))
            return "a colour";
        return nullptr;
    }

    int join(const aiMesh& part, unsigned v)
    {
        const aiVector3D& p = part.mVertices[v];
        const aiVector3D n = m_withNormals ? part.mNormals[v] : aiVector3D();
        const aiColor4D c = m_withColors ? part.mColors[0][v] : aiColor4D();
        const Key key{ p.x, p.y, p.z, n.x, n.y, n.z, c.r, c.g, c.b, c.a };
        const auto [it, inserted] = m_index.emplace(key, int(m_vertices.size()));
        if (inserted)
        {
            m_vertices.emplace_back(p.x, p.y, p.z);
            m_normals.emplace_back(n.x, n.y, n.z);
            m_colors.emplace_back(c.r, c.g, c.b, c.a);
        }
        return it->second;
    }

    bool m_withNormals;
    bool m_withColors;
    std::size_t m_fileVertex = 0; // counts the vertices of all parts, in the order the file gives them
    std::map<Key, int> m_index;
    std::vector<Eigen::Vector3d> m_vertices;
    std::vector<Eigen::Vector3d> m_normals;
    std::vector<Eigen::Vector4d> m_colors;
    std::vector<Eigen::Vector3i> m_faces;
};

/// Drops faces without corners and sets each part's primitive types from the faces left: a malformed PLY can give
/// such faces, and assimp's triangulation then stops the whole program on an assertion.
void dropEmptyFaces(aiMesh& part)
{
    unsigned kept = 0;
    unsigned types = 0;
    for (unsigned f = 0; f < part.mNumFaces; ++f)
    {
        const unsigned corners = part.mFaces[f].mNumIndices;
        if (corners == 0)
            continue;
        types |= corners == 1   ? aiPrimitiveType_POINT
                 : corners == 2 ? aiPrimitiveType_LINE
                 : corners == 3 ? aiPrimitiveType_TRIANGLE
                                : aiPrimitiveType_POLYGON;
        // Swapped, not copied: every face of the array still owns its indices when the part is deleted.
        std::swap(part.mFaces[kept].mNumIndices, part.mFaces[f].mNumIndices);
        std::swap(part.mFaces[kept].mIndices, part.mFaces[f].mIndices);
        ++kept;
    }
    part.mNumFaces = kept;
    part.mPrimitiveTypes = types;
}

bool allParts(const aiScene& scene, bool (*has)(const aiMesh&))
{
    return std::all_of(scene.mMeshes, scene.mMeshes + scene.mNumMeshes, [has](const aiMesh* m) { return has(*m); });
}

/// Reads a mesh file whole, after checking that it is a regular file (a pipe or a device would block or never
/// end) of a size that can be read; false after an Error (none for a missing file unless `missingIsError`).
bool readMeshFile(const std::string& path, QByteArray& bytes, bool missingIsError)
{
    // Qt resources are no files of the system; they are built in and trusted.
    const bool resource = path.rfind(":/", 0) == 0;
    const std::string why = resource ? std::string() : FileSystem::whyNotReadable(path);
    if (!why.empty() && (missingIsError || why != "no such file"))
        Log::logf(Log::Error, kCategory, "{}: cannot open: {}", path, why);
    if (!why.empty())
        return false;
    if (!resource && FileSystem::fileSize(path) > static_cast<long long>(kMaxFileBytes))
    {
        Log::logf(Log::Error, kCategory, "{}: not read: larger than the {} bytes a mesh file may have", path,
                  kMaxFileBytes);
        return false;
    }
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
    {
        if (missingIsError)
            Log::logf(Log::Error, kCategory, "{}: cannot open: {}", path, file.errorString().toStdString());
        return false;
    }
    bytes = file.readAll();
    return true;
}

} // namespace

std::unique_ptr<Mesh> MeshIO::load(const char* bytes, std::size_t size, const std::string& path, Progress* progress,
                                   bool keepFileNormals)
{
    const std::string extension = lowerExtension(path);
    if (extension != "obj" && extension != "stl" && extension != "ply")
    {
        Log::logf(Log::Error, kCategory, "{}: unknown mesh format (OBJ, STL and PLY are read)", path);
        return nullptr;
    }
    if (!bytes || size == 0)
    {
        Log::logf(Log::Error, kCategory, "{}: empty mesh file", path);
        return nullptr;
    }
    std::string refusal = size > kMaxFileBytes
                            ? fmt::format("larger than the {} bytes a mesh file may have", kMaxFileBytes)
                            : MeshFileBounds::whyRefused(bytes, size, extension);
    if (!refusal.empty())
    {
        Log::logf(Log::Error, kCategory, "{}: not read: {}", path, refusal);
        return nullptr;
    }

    Assimp::Importer importer;
    importer.SetIOHandler(new NoFilesIOSystem); // the importer owns and deletes its handler
    if (progress)
        importer.SetProgressHandler(new ProgressForwarder(*progress)); // the importer owns and deletes its handler
    const aiScene* scene = importer.ReadFileFromMemory(bytes, size, aiProcess_ValidateDataStructure, extension.c_str());
    if (scene)
    {
        // The importer owns the scene and post-processes it in place; it is only tidied here before that.
        aiScene& imported = const_cast<aiScene&>(*scene);
        std::for_each(imported.mMeshes, imported.mMeshes + imported.mNumMeshes, [](aiMesh* m) { dropEmptyFaces(*m); });
        // Node transforms are baked into the vertices so that every part lands where the file places it.
        scene = importer.ApplyPostProcessing(aiProcess_Triangulate | aiProcess_PreTransformVertices);
    }
    // Not every assimp reader stops when asked to, so a cancellation is honoured here as well.
    if (progress && progress->wasCanceled())
    {
        Log::logf(Log::Info, kCategory, "{}: reading cancelled", path);
        return nullptr;
    }
    if (!scene)
    {
        Log::logf(Log::Error, kCategory, "{}: cannot read mesh: {}", path, importer.GetErrorString());
        return nullptr;
    }

    const bool withNormals = keepFileNormals && allParts(*scene, [](const aiMesh& m) { return m.HasNormals(); });
    const bool withColors = allParts(*scene, [](const aiMesh& m) { return m.HasVertexColors(0); });
    TriangleCollector collector(withNormals, withColors);
    for (unsigned i = 0; i < scene->mNumMeshes; ++i)
        if (!collector.add(*scene->mMeshes[i], &refusal))
        {
            Log::logf(Log::Error, kCategory, "{}: not read: {}", path, refusal);
            return nullptr;
        }
    if (!collector.hasTriangles())
    {
        Log::logf(Log::Error, kCategory, "{}: the mesh file holds no triangles", path);
        return nullptr;
    }
    return collector.take();
}

std::unique_ptr<Mesh> MeshIO::loadFile(const std::string& path, Progress* progress, bool keepFileNormals)
{
    QByteArray bytes;
    if (!readMeshFile(path, bytes, true))
        return nullptr;
    return load(bytes.constData(), std::size_t(bytes.size()), path, progress, keepFileNormals);
}

std::unique_ptr<Mesh> MeshIO::loadFileIfPresent(const std::string& path)
{
    QByteArray bytes;
    if (!readMeshFile(path, bytes, false))
        return nullptr;
    return load(bytes.constData(), std::size_t(bytes.size()), path);
}

bool MeshIO::saveObj(const Mesh& mesh, const std::string& path)
{
    const bool withColors = !mesh.vertexColors().empty();
    const bool withNormals = !mesh.vertexNormals().empty();
    fmt::memory_buffer out;
    for (std::size_t i = 0; i < mesh.vertices().size(); ++i)
    {
        const Eigen::Vector3d& v = mesh.vertices()[i];
        fmt::format_to(std::back_inserter(out), "v {:.17g} {:.17g} {:.17g}", v.x(), v.y(), v.z());
        if (withColors)
        {
            const Eigen::Vector4d& c = mesh.vertexColors()[i];
            fmt::format_to(std::back_inserter(out), " {:.17g} {:.17g} {:.17g}", c[0], c[1], c[2]);
        }
        out.push_back('\n');
    }
    for (const Eigen::Vector3d& n : mesh.vertexNormals())
        fmt::format_to(std::back_inserter(out), "vn {:.17g} {:.17g} {:.17g}\n", n.x(), n.y(), n.z());
    // OBJ indices are 1-based; "a//a" pairs each vertex with the normal of the same number.
    for (const Eigen::Vector3i& f : mesh.faces())
    {
        if (withNormals)
            fmt::format_to(std::back_inserter(out), "f {0}//{0} {1}//{1} {2}//{2}\n", f[0] + 1, f[1] + 1, f[2] + 1);
        else
            fmt::format_to(std::back_inserter(out), "f {} {} {}\n", f[0] + 1, f[1] + 1, f[2] + 1);
    }

    std::string error;
    if (AtomicFile::writeFile(path, std::string_view(out.data(), out.size()), &error))
        return true;
    Log::log(Log::Error, kCategory, error);
    return false;
}

} // namespace Kelvaros
