#pragma once

#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros
{

class SharedImageSet;

/// Points marked in an image set: landmarks of a volume, say. Each point is stored in the image coordinates of one
/// image of the set (see SharedImageSet: millimetres, origin at the centre of the voxel grid), so that the points
/// stay on the anatomy when the set is moved or registered; allPoints() gives their current world positions.
///
/// Per-point record ("point" in the configuration): "Point" (image coordinates), "Image" (index of the image),
/// "Name".
///
/// User-interface thread only, like the image's placement changes it follows. The image set must outlive the
/// point set.
class KELVAROS_API PointsOnImage
  : public PointsOnData
  , public SignalReceiver
{
public:
    /// An empty point set on `image`; follows the image's placement (signalPointsChanged over every point when
    /// the image's matrix changes).
    explicit PointsOnImage(SharedImageSet& image);
    ~PointsOnImage() override;

    /// Appends a point given in the image coordinates of image `imageIndex` of the set (-1: the selected image)
    /// and emits signalPointsAdded(n - 1, n).
    void addImagePoint(const Eigen::Vector3d& imagePoint, int imageIndex);
    /// Appends a point given in world coordinates, stored in the image coordinates of image `imageIndex` (-1: the
    /// selected image) as the image is placed now.
    void addWorldPoint(const Eigen::Vector3d& worldPoint, int imageIndex = -1);
    /// Moves point `index` (negative: counted from the end) to a position in the image coordinates of its image
    /// and emits signalPointsChanged(index, index + 1); an invalid index logs an error and changes nothing.
    void setImagePoint(const Eigen::Vector3d& imagePoint, int index);
    /// As setImagePoint, with the position in world coordinates.
    void setWorldPoint(const Eigen::Vector3d& worldPoint, int index);

    /// The points in the image coordinates of their images.
    [[nodiscard]] const std::vector<Eigen::Vector3d>& imagePoints() const { return m_imagePoints; }
    /// The image each point belongs to (as resolved when it was added: never -1).
    [[nodiscard]] const std::vector<int>& imageIndices() const { return m_imageIndices; }
    [[nodiscard]] SharedImageSet& image() const { return m_image; }

    /// World positions through the current placement of each point's image.
    [[nodiscard]] const std::vector<Eigen::Vector3d>& allPoints() const override;
    /// The image set.
    [[nodiscard]] const Data* data() const override;
    void remove(int first, int last) override;
    [[nodiscard]] int size() const override { return int(m_imagePoints.size()); }
    void configurePoint(const Properties* properties) override;
    void pointConfiguration(Properties* properties, int index) const override;

protected:
    /// Called when the image moved: refreshes the world positions and emits signalPointsChanged over every point.
    void updateWorldPoints() override;

private:
    void refreshWorldPoints() const;
    [[nodiscard]] int resolveImage(int imageIndex) const;
    [[nodiscard]] bool resolveIndex(int& index, const char* operation) const;

    SharedImageSet& m_image;
    std::vector<Eigen::Vector3d> m_imagePoints;
    std::vector<int> m_imageIndices;
    // World positions as of the last allPoints(); recomputed on every call, since the placement may have changed.
    mutable std::vector<Eigen::Vector3d> m_worldPoints;
};

} // namespace Kelvaros
