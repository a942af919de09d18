#pragma once

#include <array>
#include <vector>

#include <Eigen/Core>

#include "gui/view/VolumeTexture.h"

namespace Kelvaros
{

/// Draws a planar quad textured by reformatting a VolumeTexture: each fragment looks its world point up in the
/// volume (trilinear), maps the value through window and level into a colour map, and is discarded outside the
/// grid, so that a volume below shows through there. A volume cut into bricks is drawn brick by brick, each brick
/// clipped to the slices it answers for, so that every fragment is drawn once.
/// Slice views draw one quad covering their viewport, the 3D view one quad per orthogonal plane.
///
/// Internal to KelvarosGui; one program and vertex array per context, made on first use and deleted with the
/// context. Main thread only, with a context current.
class VolumePlaneRenderer
{
public:
    struct Quad
    {
        /// World corners (mm) in strip order: 0, 1, 2 form one triangle, 1, 2, 3 the other.
        std::array<Eigen::Vector3d, 4> corners;
        Eigen::Matrix4d clipFromWorld = Eigen::Matrix4d::Identity();
        Eigen::Matrix4d textureFromWorld = Eigen::Matrix4d::Identity();
        std::vector<VolumeTexture::Brick> bricks;
        /// Slices of the whole volume.
        int slices = 1;
        double window = 1.0;
        double level = 0.5;
        /// Opacity over what is drawn already.
        double alpha = 1.0;
        /// ImageDisplayOptionsComponent::ColorMap.
        int colorMap = 0;
    };

    /// False (Error in the log) when the program does not build or there is no context.
    static bool draw(const Quad& quad);
};

} // namespace Kelvaros
