#include "lib/TrackedSharedImageSet.h"

namespace Kelvaros
{

TrackedSharedImageSet::TrackedSharedImageSet(std::string name, const Eigen::Vector2i& frameSize,
                                             const Eigen::Vector2d& spacing, Modality modality)
  : SharedImageSet(std::move(name), Eigen::Vector3i(frameSize.x(), frameSize.y(), 1),
                   Eigen::Vector3d(spacing.x(), spacing.y(), 1.0), modality, NoImages{})
{
}

TrackedSharedImageSet::TrackedSharedImageSet(const TrackedSharedImageSet& other) = default;

TrackedSharedImageSet::~TrackedSharedImageSet() = default;

int TrackedSharedImageSet::addFrame(std::vector<float> pixels, const Eigen::Matrix4d& frameToData, int64_t timestampUs)
{
    const int index = SharedImageSet::addImage(std::move(pixels));
    if (index >= 0)
        m_poses.push_back({ frameToData, timestampUs });
    return index;
}

int TrackedSharedImageSet::addImage(std::vector<float> voxels)
{
    return addFrame(std::move(voxels), Eigen::Matrix4d::Identity(), 0);
}

Eigen::Matrix4d TrackedSharedImageSet::frameMatrix(int index) const
{
    const int i = resolveIndex(index);
    return i < int(m_poses.size()) ? m_poses[size_t(i)].frameToData : Eigen::Matrix4d::Identity();
}

void TrackedSharedImageSet::setFrameMatrix(int index, const Eigen::Matrix4d& frameToData)
{
    const int i = resolveIndex(index);
    if (i < int(m_poses.size()))
        m_poses[size_t(i)].frameToData = frameToData;
}

int64_t TrackedSharedImageSet::timestamp(int index) const
{
    const int i = resolveIndex(index);
    return i < int(m_poses.size()) ? m_poses[size_t(i)].timestampUs : 0;
}

Eigen::Matrix4d TrackedSharedImageSet::matrix(int index) const
{
    return Data::matrix() * frameMatrix(index);
}

void TrackedSharedImageSet::addTracking(std::shared_ptr<TrackingSequence> tracking)
{
    if (tracking)
        m_trackings.push_back(std::move(tracking));
}

TrackingSequence* TrackedSharedImageSet::tracking(int index) const
{
    const int i = index < 0 ? m_selectedTracking : index;
    return i < int(m_trackings.size()) ? m_trackings[size_t(i)].get() : nullptr;
}

void TrackedSharedImageSet::setSelectedTracking(int index)
{
    if (index >= 0 && index < numTrackings())
        m_selectedTracking = index;
}

} // namespace Kelvaros
