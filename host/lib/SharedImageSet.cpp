#include "lib/SharedImageSet.h"

#include <algorithm>
#include <cmath>

#include <Eigen/LU>

#include "core/Log.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "SharedImageSet";
}

SharedImageSet::SharedImageSet(std::string name, const Eigen::Vector3i& dimensions, const Eigen::Vector3d& spacing,
                               Modality modality)
  : SharedImageSet(std::move(name), dimensions, spacing, modality, NoImages{})
{
    m_images.emplace_back(numVoxels(), 0.0f);
}

SharedImageSet::SharedImageSet(std::string name, const Eigen::Vector3i& dimensions, const Eigen::Vector3d& spacing,
                               Modality modality, NoImages)
  : Data(std::move(name)), m_dimensions(dimensions), m_spacing(spacing), m_modality(modality)
{
    validateGeometry();
}

SharedImageSet::SharedImageSet(const SharedImageSet& other) = default;

SharedImageSet::~SharedImageSet() = default;

void SharedImageSet::validateGeometry()
{
    if ((m_dimensions.array() < 0).any())
    {
        Log::logf(Log::Warning, kCategory, "{}: negative image dimensions {} {} {} taken as 0", name(),
                  m_dimensions.x(), m_dimensions.y(), m_dimensions.z());
        m_dimensions = m_dimensions.cwiseMax(0);
    }
    for (int axis = 0; axis < 3; ++axis)
    {
        if (!(m_spacing[axis] > 0.0) || !std::isfinite(m_spacing[axis]))
        {
            Log::logf(Log::Warning, kCategory, "{}: spacing {} along axis {} is not positive, taken as 1 mm", name(),
                      m_spacing[axis], axis);
            m_spacing[axis] = 1.0;
        }
    }
}

Data::Kind SharedImageSet::kind() const
{
    return m_dimensions.z() > 1 ? Kind::Volume : Kind::Image;
}

Eigen::Vector3d SharedImageSet::extent() const
{
    return m_dimensions.cast<double>().cwiseProduct(m_spacing);
}

size_t SharedImageSet::numVoxels() const
{
    return size_t(m_dimensions.x()) * size_t(m_dimensions.y()) * size_t(m_dimensions.z());
}

int SharedImageSet::addImage(std::vector<float> voxels)
{
    if (voxels.size() != numVoxels())
    {
        Log::logf(Log::Error, kCategory, "{}: an image of {} voxels does not fit dimensions {} {} {}", name(),
                  voxels.size(), m_dimensions.x(), m_dimensions.y(), m_dimensions.z());
        return -1;
    }
    m_images.push_back(std::move(voxels));
    return numImages() - 1;
}

size_t SharedImageSet::voxelIndex(const Eigen::Vector3i& voxel) const
{
    return size_t(voxel.x()) +
           size_t(m_dimensions.x()) * (size_t(voxel.y()) + size_t(m_dimensions.y()) * size_t(voxel.z()));
}

bool SharedImageSet::contains(const Eigen::Vector3i& voxel) const
{
    return (voxel.array() >= 0).all() && (voxel.array() < m_dimensions.array()).all();
}

float SharedImageSet::voxel(const Eigen::Vector3i& voxel, int image) const
{
    return voxels(image)[voxelIndex(voxel)];
}

void SharedImageSet::setVoxel(const Eigen::Vector3i& voxel, float value, int image)
{
    voxels(image)[voxelIndex(voxel)] = value;
}

std::optional<float> SharedImageSet::interpolate(const Eigen::Vector3d& voxel, int image) const
{
    if (image < 0 || image >= numImages() || numVoxels() == 0)
        return std::nullopt;
    // Per axis: the lower neighbour i0 and the weight t of the upper one; an axis of one voxel has only i0 = 0.
    Eigen::Vector3i lower;
    Eigen::Vector3d weight;
    for (int axis = 0; axis < 3; ++axis)
    {
        const double v = voxel[axis];
        const int last = m_dimensions[axis] - 1;
        if (!(v >= 0.0 && v <= double(last)))
            return std::nullopt;
        lower[axis] = std::min(int(std::floor(v)), std::max(last - 1, 0));
        weight[axis] = last == 0 ? 0.0 : v - lower[axis];
    }
    double sum = 0.0;
    for (int corner = 0; corner < 8; ++corner)
    {
        Eigen::Vector3i index = lower;
        double w = 1.0;
        for (int axis = 0; axis < 3; ++axis)
        {
            const bool upper = (corner >> axis) & 1;
            if (upper)
            {
                if (weight[axis] == 0.0)
                {
                    w = 0.0;
                    break;
                }
                index[axis] += 1;
                w *= weight[axis];
            }
            else
            {
                w *= 1.0 - weight[axis];
            }
        }
        if (w != 0.0)
            sum += w * double(this->voxel(index, image));
    }
    return float(sum);
}

void SharedImageSet::setSelectedImage(int image)
{
    if (image >= 0 && image < numImages())
        m_selectedImage = image;
}

Eigen::Matrix4d SharedImageSet::matrix(int) const
{
    return Data::matrix();
}

Eigen::Vector3d SharedImageSet::voxelToImage(const Eigen::Vector3d& voxel) const
{
    const Eigen::Vector3d centre = (m_dimensions.cast<double>().array() - 1.0) * 0.5;
    return (voxel - centre).cwiseProduct(m_spacing);
}

Eigen::Vector3d SharedImageSet::imageToVoxel(const Eigen::Vector3d& point) const
{
    const Eigen::Vector3d centre = (m_dimensions.cast<double>().array() - 1.0) * 0.5;
    return point.cwiseQuotient(m_spacing) + centre;
}

Eigen::Vector3d SharedImageSet::imageToWorld(const Eigen::Vector3d& point, int index) const
{
    return (matrix(index) * point.homogeneous()).head<3>();
}

Eigen::Vector3d SharedImageSet::worldToImage(const Eigen::Vector3d& point, int index) const
{
    return (matrix(index).inverse() * point.homogeneous()).head<3>();
}

Eigen::Vector3d SharedImageSet::voxelToWorld(const Eigen::Vector3d& voxel, int index) const
{
    return imageToWorld(voxelToImage(voxel), index);
}

Eigen::Vector3d SharedImageSet::worldToVoxel(const Eigen::Vector3d& point, int index) const
{
    return imageToVoxel(worldToImage(point, index));
}

Eigen::AlignedBox3d SharedImageSet::imageBoundingBox() const
{
    const Eigen::Vector3d half = extent() * 0.5;
    return Eigen::AlignedBox3d(-half, half);
}

Eigen::AlignedBox3d SharedImageSet::worldBoundingBox() const
{
    Eigen::AlignedBox3d box; // empty
    const Eigen::AlignedBox3d local = imageBoundingBox();
    for (int i = 0; i < numImages(); ++i)
    {
        const Eigen::Matrix4d toWorld = matrix(i);
        for (int corner = 0; corner < 8; ++corner)
        {
            const Eigen::Vector3d p = local.corner(Eigen::AlignedBox3d::CornerType(corner));
            box.extend((toWorld * p.homogeneous()).head<3>());
        }
    }
    return box;
}

} // namespace Kelvaros
