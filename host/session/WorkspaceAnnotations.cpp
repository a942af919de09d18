#include "session/WorkspaceAnnotations.h"

#include <memory>

#include <fmt/format.h>

#include "core/Properties.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "lib/ApplicationController.h"

namespace Kelvaros
{

namespace
{
/// A line has its target and entry; a path at least two points, at most what a hand-drawn one holds.
constexpr size_t kMaxPathPoints = 1000;

const char* kindOf(const GlObject* object)
{
    if (dynamic_cast<const GlLine*>(object))
        return "line";
    if (dynamic_cast<const GlSpline*>(object))
        return "path";
    return nullptr;
}

std::unique_ptr<GlPointBasedAnnotation> make(const std::string& kind, const std::string& name)
{
    if (kind == "line")
        return std::make_unique<GlLine>(name);
    if (kind == "path")
        return std::make_unique<GlSpline>(name);
    return nullptr;
}

/// The points of an annotation node; empty when one is missing or not finite, or the count does not fit the kind.
std::vector<Eigen::Vector3d> pointsOf(const Properties& node, const std::string& kind)
{
    const auto saved = node.subPropertiesAll("point");
    if (kind == "line" ? saved.size() != 2 : saved.size() < 2 || saved.size() > kMaxPathPoints)
        return {};
    std::vector<Eigen::Vector3d> points;
    for (const Properties* point : saved)
    {
        Eigen::Vector3d position;
        if (!point->param("position", position) || !position.allFinite())
            return {};
        points.push_back(position);
    }
    return points;
}
} // namespace

void WorkspaceAnnotations::save(const AnnotationModel& model, Properties& workspace)
{
    for (const InteractiveObject* annotation : model.getAnnotations())
    {
        const auto* drawn = dynamic_cast<const GlPointBasedAnnotation*>(annotation->graphicsObject());
        const char* kind = kindOf(drawn);
        // A tool panel's direction line is a line too, but the panel places it again when it opens.
        if (!kind || model.isPlacedByApplication(annotation))
            continue;
        Properties* node = workspace.addSubProperties("annotation");
        node->setParam("kind", std::string(kind));
        node->setParam("name", drawn->name());
        node->setParam("color", drawn->color());
        if (const Data* parent = model.parentData(annotation))
            node->setParam("data", parent->name());
        for (const Eigen::Vector3d& point : drawn->points())
            node->addSubProperties("point")->setParam("position", point);
    }
}

void WorkspaceAnnotations::load(const Properties& workspace, ApplicationController& app, AnnotationModel& model,
                                std::vector<std::string>& problems)
{
    for (const Properties* node : workspace.subPropertiesAll("annotation"))
    {
        const std::string kind = node->paramOr<std::string>("kind", "");
        const std::string name = node->paramOr<std::string>("name", "");
        std::unique_ptr<GlPointBasedAnnotation> drawn = make(kind, name);
        const std::vector<Eigen::Vector3d> points = pointsOf(*node, kind);
        if (!drawn || points.empty())
        {
            problems.push_back(fmt::format("the planned {} '{}' could not be read and was left out",
                                           kind.empty() ? "annotation" : kind, name));
            continue;
        }
        Data* parent = nullptr;
        if (const std::string volume = node->paramOr<std::string>("data", ""); !volume.empty())
            if (!(parent = app.findData(volume)))
            {
                problems.push_back(
                  fmt::format("the planned {} '{}' was left out, its volume '{}' is missing", kind, name, volume));
                continue;
            }
        drawn->setPoints(points);
        Eigen::Vector3d color;
        if (node->param("color", color) && color.allFinite())
            drawn->setColor(color.cwiseMax(0.0).cwiseMin(1.0));
        model.addAnnotation(std::make_unique<InteractiveObject>(std::move(drawn), model.createDefaultManipulator()),
                            parent);
    }
}

} // namespace Kelvaros
