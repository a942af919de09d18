#include "visualization/ToolMeshBinding.h"

#include "core/Properties.h"

#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{

ToolMeshBinding::ToolMeshBinding(Parameter<std::string>& toolMeshPath, ToolVisualizationAlgorithm& tool)
  : m_toolMeshPath(toolMeshPath), m_tool(tool)
{
    m_tool.p_mesh.setValue(m_toolMeshPath.value());
    m_follower =
      m_toolMeshPath.signalValueChanged.connect([this](const std::string& path) { m_tool.p_mesh.setValue(path); });
}

ToolMeshBinding::~ToolMeshBinding()
{
    m_follower.disconnect();
}

void ToolMeshBinding::configure(const Properties& properties)
{
    m_tool.configure(&properties);
    m_tool.p_mesh.setValue(m_toolMeshPath.value()); // signals only on a change
}

void ToolMeshBinding::configuration(Properties& properties) const
{
    m_tool.configuration(&properties);
    std::string mesh;
    if (properties.param("mesh", mesh))
    {
        properties.removeParam("mesh");
        properties.setParam(m_toolMeshPath.name(), mesh);
    }
}

} // namespace Kelvaros
