#include "gl/Pipeline.h"

#include <algorithm>

#include <QOpenGLFunctions_3_3_Core>

#include "core/Log.h"
#include "gl/ContextResources.h"

namespace Kelvaros::GL
{
namespace
{
constexpr const char* kCategory = "Pipeline";
} // namespace

bool Pipeline::enable(const ViewState& viewState, int selection, std::nullptr_t)
{
    if (selection < UniformColor || selection > VertexColorLit)
    {
        Log::logf(Log::Error, kCategory, "unknown shader selection {} (0 to 3)", selection);
        return false;
    }
    ContextResources* resources = ContextResources::current(kCategory);
    if (!resources)
        return false;
    resources->pipeline.enabled = true;
    resources->pipeline.viewState = viewState;
    resources->pipeline.selection = selection;
    const Viewport& v = viewState.viewport;
    resources->functions().glViewport(v.x, v.y, v.width, v.height);
    return true;
}

void Pipeline::disable()
{
    if (ContextResources* resources = ContextResources::current(kCategory))
        resources->pipeline.enabled = false;
}

void Pipeline::setLineWidth(double pixels)
{
    if (ContextResources* resources = ContextResources::current(kCategory))
        resources->pipeline.lineWidth = static_cast<float>(std::max(1.0, pixels));
}

void Pipeline::setColor(const Eigen::Vector4d& rgba)
{
    if (ContextResources* resources = ContextResources::current(kCategory))
        resources->pipeline.color = rgba.cast<float>();
}

Pipeline::State Pipeline::state()
{
    const ContextResources* resources = ContextResources::find();
    return resources ? resources->pipeline : State{};
}

void Pipeline::setState(const State& state)
{
    if (ContextResources* resources = ContextResources::current(kCategory))
        resources->pipeline = state;
}

} // namespace Kelvaros::GL
