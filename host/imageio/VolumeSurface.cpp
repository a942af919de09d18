#include "imageio/VolumeSurface.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <itkBinaryMask3DMeshSource.h>
#include <itkImage.h>
#include <itkMesh.h>
#include <vector>

#include <fmt/format.h>

#include "core/Log.h"
#include "lib/SharedImageSet.h"

#include "imageio/ItkSupport.h"

namespace Kelvaros
{

namespace
{

constexpr const char* kCategory = "VolumeSurface";
constexpr unsigned char kInside = 1;

using MaskImage = itk::Image<unsigned char, 3>;
using SurfaceMesh = itk::Mesh<double, 3>;
using MeshSource = itk::BinaryMask3DMeshSource<MaskImage, SurfaceMesh>;

/// The mask with one voxel of outside all round. Its origin is -1 at unit spacing, so that ITK's physical points
/// are the volume's continuous voxel indices, which the volume itself places in the world.
MaskImage::Pointer paddedMask(const SharedImageSet& volume, int image, float threshold, std::size_t& insideCount)
{
    const Eigen::Vector3i d = volume.dimensions();
    MaskImage::SizeType size;
    for (unsigned axis = 0; axis < 3; ++axis)
        size[axis] = itk::SizeValueType(d[int(axis)] + 2);
    auto mask = MaskImage::New();
    mask->SetRegions(MaskImage::RegionType(size));
    mask->SetOrigin(itk::Point<double, 3>(-1.0));
    mask->Allocate(true);
    const std::vector<float>& voxels = volume.voxels(image);
    unsigned char* out = mask->GetBufferPointer();
    const std::size_t row = std::size_t(d.x()) + 2;
    const std::size_t slice = row * (std::size_t(d.y()) + 2);
    std::size_t index = 0;
    insideCount = 0;
    for (int z = 0; z < d.z(); ++z)
        for (int y = 0; y < d.y(); ++y)
            for (int x = 0; x < d.x(); ++x)
                if (voxels[index++] >= threshold)
                {
                    out[std::size_t(z + 1) * slice + std::size_t(y + 1) * row + std::size_t(x + 1)] = kInside;
                    ++insideCount;
                }
    return mask;
}

/// Six times the enclosed volume; negative when the triangles face inwards.
double signedVolume(const Mesh& mesh)
{
    double sum = 0.0;
    for (const Eigen::Vector3i& f : mesh.faces())
    {
        const auto& v = mesh.vertices();
        sum += v[std::size_t(f[0])].dot(v[std::size_t(f[1])].cross(v[std::size_t(f[2])]));
    }
    return sum;
}

/// ITK's filter sees only the mask and puts a vertex halfway between the voxel inside and the one outside; the
/// values say where between them the threshold is crossed (linear, as marching cubes on the values would), which
/// takes the surface from within half a voxel to a small part of one. A vertex on the padding or in a cube's middle
/// (no single edge) stays where it is.
Eigen::Vector3d thresholdCrossing(const Eigen::Vector3d& voxel, const SharedImageSet& volume, int image,
                                  float threshold)
{
    const Eigen::Vector3d lower = voxel.array().floor();
    const Eigen::Array3d offHalf = (voxel - lower).array() - 0.5;
    if ((offHalf.abs() < 1e-6).count() != 1)
        return voxel;
    Eigen::Index axis = 0;
    offHalf.abs().minCoeff(&axis);
    const Eigen::Vector3i a = lower.cast<int>();
    const Eigen::Vector3i b = a + Eigen::Vector3i::Unit(axis);
    if (!volume.contains(a) || !volume.contains(b))
        return voxel;
    const double va = volume.voxel(a, image);
    const double vb = volume.voxel(b, image);
    if ((va >= threshold) == (vb >= threshold))
        return voxel;
    Eigen::Vector3d crossing = a.cast<double>();
    crossing[axis] += std::clamp((threshold - va) / (vb - va), 0.0, 1.0);
    return crossing;
}

Mesh worldMesh(const SurfaceMesh& surface, const SharedImageSet& volume, int image, float threshold)
{
    std::vector<Eigen::Vector3d> vertices(surface.GetNumberOfPoints(), Eigen::Vector3d::Zero());
    for (auto it = surface.GetPoints()->Begin(); it != surface.GetPoints()->End(); ++it)
        if (it.Index() < vertices.size())
        {
            const auto& p = it.Value();
            vertices[it.Index()] = volume.voxelToWorld(
              thresholdCrossing(Eigen::Vector3d(p[0], p[1], p[2]), volume, image, threshold), image);
        }
    std::vector<Eigen::Vector3i> faces;
    faces.reserve(surface.GetNumberOfCells());
    for (auto it = surface.GetCells()->Begin(); it != surface.GetCells()->End(); ++it)
    {
        const auto* cell = it.Value();
        if (cell->GetNumberOfPoints() != 3)
            continue;
        const auto* ids = cell->GetPointIds();
        faces.emplace_back(int(ids[0]), int(ids[1]), int(ids[2]));
    }
    Mesh mesh(std::move(vertices), faces);
    if (signedVolume(mesh) < 0.0)
    {
        for (Eigen::Vector3i& f : faces)
            std::swap(f[1], f[2]);
        mesh = Mesh(mesh.vertices(), std::move(faces));
    }
    mesh.computeVertexNormals(Mesh::AngleAndArea);
    return mesh;
}

std::string whyNot(const SharedImageSet& volume, float threshold, int image)
{
    if (image < 0 || image >= volume.numImages())
        return fmt::format("it has no image {}", image);
    if ((volume.dimensions().array() < 2).any())
        return "it is not a 3D image (fewer than two voxels along an axis)";
    if (!std::isfinite(threshold))
        return "the threshold is not a finite number";
    return {};
}

/// The surface, or empty with the reason why there is none; what ITK or the allocator throw becomes the reason.
std::optional<Mesh> surfaceOf(const SharedImageSet& volume, float threshold, int image, std::string& reason)
{
    try
    {
        std::size_t insideCount = 0;
        auto source = MeshSource::New();
        source->SetInput(paddedMask(volume, image, threshold, insideCount));
        if (insideCount == 0)
        {
            reason = fmt::format("no voxel is at or above {}", threshold);
            return std::nullopt;
        }
        source->SetObjectValue(kInside);
        source->Update();
        return worldMesh(*source->GetOutput(), volume, image, threshold);
    }
    catch (const itk::ExceptionObject& exception)
    {
        reason = ItkSupport::reason(exception);
    }
    catch (const std::exception& exception)
    {
        reason = exception.what();
    }
    return std::nullopt;
}

} // namespace

std::optional<Mesh> VolumeSurface::extract(const SharedImageSet& volume, float threshold, std::string* error, int image)
{
    ItkSupport::routeMessagesToLog();
    image = image < 0 ? volume.selectedImage() : image;
    std::string reason = whyNot(volume, threshold, image);
    if (reason.empty())
        if (std::optional<Mesh> surface = surfaceOf(volume, threshold, image, reason))
            return surface;
    reason = fmt::format("No surface of '{}' at {}: {}", volume.name(), threshold, reason);
    Log::log(Log::Error, kCategory, reason);
    if (error)
        *error = reason;
    return std::nullopt;
}

} // namespace Kelvaros
