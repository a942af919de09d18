#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{

class TrackingSequence;

/// A series of tracked 2D frames, as an ultrasound sweep: every frame has its own pose. Frame k's image frame
/// (see SharedImageSet) maps to data coordinates by frameMatrix(k) (the tracked probe pose times the probe
/// calibration, in mm), and to world by matrix(k) = Data::matrix() · frameMatrix(k). Data::matrix() is the
/// registration of the whole sweep (identity by default, so that frame matrices are frame → world).
///
/// The set may also carry the tracking sequences the frames were placed from (shared, since a sequence is data of
/// its own); the frame matrices are stored independently of them. Main thread only, except the placement.
class KELVAROS_API TrackedSharedImageSet : public SharedImageSet
{
public:
    /// No frame yet; frames are frameSize pixels of `spacing` mm.
    TrackedSharedImageSet(std::string name, const Eigen::Vector2i& frameSize, const Eigen::Vector2d& spacing,
                          Modality modality = Modality::Ultrasound);
    /// Deep copy of the frames; the tracking sequences are shared.
    TrackedSharedImageSet(const TrackedSharedImageSet& other);
    ~TrackedSharedImageSet() override;

    /// Always Image: the frames are 2D whatever their number.
    [[nodiscard]] Kind kind() const override { return Kind::Image; }

    /// Appends a frame with its frame → data matrix and device timestamp (µs). Returns its index, or -1 (logged)
    /// when the pixel count does not match.
    int addFrame(std::vector<float> pixels, const Eigen::Matrix4d& frameToData, int64_t timestampUs = 0);
    /// A frame added through addImage gets the identity pose and timestamp 0.
    int addImage(std::vector<float> voxels) override;

    /// Frame → data matrix of frame `index` (-1: the selected frame); identity for an index out of range.
    [[nodiscard]] Eigen::Matrix4d frameMatrix(int index) const;
    /// Ignored for an index out of range.
    void setFrameMatrix(int index, const Eigen::Matrix4d& frameToData);
    /// Device timestamp of a frame, µs (0 for an index out of range).
    [[nodiscard]] int64_t timestamp(int index) const;

    using SharedImageSet::matrix;
    /// Frame → world: Data::matrix() · frameMatrix(index).
    [[nodiscard]] Eigen::Matrix4d matrix(int index) const override;

    /// Attaches a tracking sequence (null is ignored).
    void addTracking(std::shared_ptr<TrackingSequence> tracking);
    [[nodiscard]] int numTrackings() const { return int(m_trackings.size()); }
    /// Tracking sequence `index`; -1 is the selected one (the first by default). Null when there is none.
    [[nodiscard]] TrackingSequence* tracking(int index = -1) const;
    void setSelectedTracking(int index);

private:
    struct FramePose
    {
        Eigen::Matrix4d frameToData = Eigen::Matrix4d::Identity();
        int64_t timestampUs = 0;
    };

    std::vector<FramePose> m_poses;
    std::vector<std::shared_ptr<TrackingSequence>> m_trackings;
    int m_selectedTracking = 0;
};

} // namespace Kelvaros
