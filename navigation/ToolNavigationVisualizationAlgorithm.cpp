#include "navigation/ToolNavigationVisualizationAlgorithm.h"

#include "core/Properties.h"
#include "lib/DataList.h"
#include "stream/TrackingStream.h"

#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{

bool ToolNavigationVisualizationAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    if (data.size() != 1)
        return false;
    auto* stream = dynamic_cast<TrackingStream*>(data[0]);
    if (!stream)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<ToolNavigationVisualizationAlgorithm>(stream);
    return true;
}

ToolNavigationVisualizationAlgorithm::ToolNavigationVisualizationAlgorithm(TrackingStream* stream)
  : m_stream(stream),
    m_toolVisualization(std::make_unique<ToolVisualizationAlgorithm>(stream, nullptr)),
    m_meshBinding(p_toolMeshPath, *m_toolVisualization)
{
}

ToolNavigationVisualizationAlgorithm::~ToolNavigationVisualizationAlgorithm() = default;

void ToolNavigationVisualizationAlgorithm::configure(const Properties* properties)
{
    if (!properties)
        return;
    Algorithm::configure(properties);
    ToolVisualizationAlgorithm::fixAbsolutePath(p_toolMeshPath);
    m_meshBinding.configure(*properties);
}

void ToolNavigationVisualizationAlgorithm::configuration(Properties* properties) const
{
    if (!properties)
        return;
    Algorithm::configuration(properties);
    m_meshBinding.configuration(*properties);
}

void ToolNavigationVisualizationAlgorithm::compute()
{
    setStatus(Success);
}

} // namespace Kelvaros
