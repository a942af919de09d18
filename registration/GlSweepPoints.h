#pragma once

#include <vector>

#include <Eigen/Core>

#include "gui/scene/GlObject.h"

namespace Kelvaros
{

/// The points of a pointer's sweep over a surface, as dots of a few pixels in one colour, so that the user sees
/// where the sweep has been and where it still lacks points. World coordinates. Main thread only.
class GlSweepPoints : public GlObject
{
public:
    GlSweepPoints();

    void setPoints(std::vector<Eigen::Vector3d> points);
    [[nodiscard]] std::size_t size() const { return m_points.size(); }

    void render(const RenderInfo& info) override;
    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;

private:
    std::vector<Eigen::Vector3d> m_points;
};

} // namespace Kelvaros
