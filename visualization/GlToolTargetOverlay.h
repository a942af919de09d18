#pragma once

#include <memory>
#include <string>

#include <Eigen/Core>

#include "gui/scene/GlOverlay.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}

/// The depth bar drawn over the bullseye's 3D view: a vertical centre line (the path), a bottom line (the target
/// depth), a top line (the bar's full length in mm), a red line at the tip's depth and a green segment from the tip
/// to a point up the shaft, with the tip's depth in mm as a label at the bottom.
///
/// The points come from BullseyeVisualizationAlgorithm::computeOverlayParameters: first coordinate the lateral
/// offset (mm), second the distance along the path from the target (mm). Points that cannot be trusted are not
/// drawn (setToolPointsValid). Main thread only.
class GlToolTargetOverlay : public GlOverlay
{
public:
    GlToolTargetOverlay();
    ~GlToolTargetOverlay() override;

    void setToolPoints(Eigen::Vector2d tipPoint, Eigen::Vector2d shaftPoint);
    /// Whether the tool points stand for the needle now: when not (not seen, stale, not calibrated, not
    /// registered) the bar shows no tip, no needle and "—" for the depth. Valid at first.
    void setToolPointsValid(bool valid) { m_valid = valid; }
    [[nodiscard]] bool toolPointsValid() const { return m_valid; }
    /// Layout: label font size (pixels), pixel row of the bar's bottom line, pixels between the top line and the
    /// top edge, pixels between the horizontal lines and the side edges, path length (mm) shown over the bar's
    /// height, lateral distance (mm) shown over the overlay's width.
    void setVisParams(int fontSize, int textOffset, int topMargin, int whiskerMargin, double barHeightInMM,
                      double barWidthInMM);

    [[nodiscard]] const Eigen::Vector2d& tipPoint() const { return m_tipPoint; }
    [[nodiscard]] const Eigen::Vector2d& shaftPoint() const { return m_shaftPoint; }

    /// The label for a tip point: its depth with two decimals and, when negative, a leading minus.
    [[nodiscard]] static std::string depthLabel(const Eigen::Vector2d& tipPoint);
    /// The label shown: depthLabel of the tip point while the points are valid, else "—".
    [[nodiscard]] std::string shownLabel() const;

    void render(const GL::Viewport& viewport) override;

private:
    std::unique_ptr<GL::VertexBuffer> m_vertexBuffer;
    Eigen::Vector2d m_tipPoint = Eigen::Vector2d::Zero();
    Eigen::Vector2d m_shaftPoint = Eigen::Vector2d::Zero();
    bool m_valid = true;
    int m_fontSize = 18;
    int m_textOffset = 25;
    int m_topMargin = 2;
    int m_whiskerMargin = 15;
    double m_barHeight = 100.0;
    double m_barWidth = 20.0;
};

} // namespace Kelvaros
