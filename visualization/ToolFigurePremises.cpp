#include "visualization/ToolFigurePremises.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"

namespace Kelvaros
{

ToolCalibrationKnowledge calibrationKnowledge(const Data& data, const std::string& instrumentId)
{
    const auto* calibrations = data.components().get<InstrumentCalibrationDataComponent>();
    const auto entry = calibrations ? calibrations->entry(instrumentId) : std::nullopt;
    if (!entry)
        return {};
    // A fit says what it determined; a tool whose tip sits at its sensor has a pivot calibration without offset.
    if (entry->provenance && !entry->provenance->method.empty())
    {
        const std::string& method = entry->provenance->method;
        return { method.find("pivot") != std::string::npos, method.find("axis") != std::string::npos };
    }
    const Eigen::Matrix4d& m = entry->calibration.matrix;
    return { !m.topRightCorner<3, 1>().isZero(0.0), !m.topLeftCorner<3, 3>().isIdentity(0.0) };
}

std::string calibrationWarning(const ToolCalibrationKnowledge& knowledge, const std::string& toolName)
{
    if (!knowledge.tip)
        return fmt::format("'{}' has no tip calibration: it is drawn at its markers, not at its tip, and no distance "
                           "to a target is shown. Calibrate it with Streaming > Tracking Tool Calibration.",
                           toolName);
    if (!knowledge.axis)
        return fmt::format("'{}' has no axis calibration: the direction of its shaft is not known, so no angle or aim "
                           "is shown. Calibrate its axis by turning it about its shaft in the calibration wizard.",
                           toolName);
    return {};
}

std::optional<Eigen::AlignedBox3d> planRegion(const SharedImageSet* image,
                                              const std::vector<Eigen::Vector3d>& planPoints)
{
    Eigen::AlignedBox3d box = image ? image->worldBoundingBox() : Eigen::AlignedBox3d();
    for (const Eigen::Vector3d& point : planPoints)
        box.extend(point);
    if (box.isEmpty())
        return std::nullopt;
    return box;
}

double distanceOutside(const Eigen::AlignedBox3d& box, const Eigen::Vector3d& point)
{
    return std::sqrt(box.squaredExteriorDistance(point));
}

double notRegisteredBeyond(const Eigen::AlignedBox3d& region)
{
    return std::max(region.diagonal().norm(), kNotRegisteredLeastMm);
}

FigureJudgement judgeFigures(const ToolSnapshot& snapshot, const std::optional<Eigen::AlignedBox3d>& region)
{
    if (snapshot.sinceLastSampleUs >= kStaleAfterUs)
        return { FigureState::Stale };
    if (!snapshot.toolMatrix)
        return { FigureState::NotVisible };
    if (!snapshot.calibration.tip)
        return { FigureState::Uncalibrated };
    if (region && !region->isEmpty())
    {
        const double outside = distanceOutside(*region, snapshot.toolMatrix->block<3, 1>(0, 3));
        if (outside > notRegisteredBeyond(*region))
            return { FigureState::NotRegistered, outside };
    }
    return { FigureState::Valid };
}

std::vector<std::string> figureStateLines(const FigureJudgement& judgement)
{
    switch (judgement.state)
    {
        case FigureState::NotVisible:
            return { "Tool not visible" };
        case FigureState::Stale:
            return { "Stale: no tracking data" };
        case FigureState::NoPath:
            return { "No path" };
        case FigureState::Uncalibrated:
            return { "Tip not calibrated" };
        case FigureState::NotRegistered:
            return { "Not registered:", fmt::format("tool {:.0f} mm from plan", judgement.outsideMm) };
        case FigureState::Valid:
            break;
    }
    return {};
}

std::string figureStateText(const FigureJudgement& judgement)
{
    std::string text;
    for (const std::string& line : figureStateLines(judgement))
        text += (text.empty() ? "" : " ") + line;
    return text;
}

} // namespace Kelvaros
