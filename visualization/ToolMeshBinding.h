#pragma once

#include <string>

#include "core/Parameter.h"
#include "core/Signal.h"

namespace Kelvaros
{

class Properties;
class ToolVisualizationAlgorithm;

/// Ties the mesh of a tool visualization owned by another algorithm to that algorithm's `toolMeshPath`, so the
/// path is stored once: the tool visualization's `mesh` follows every change of `toolMeshPath` (property editor
/// included), and a saved configuration holds `toolMeshPath` but no `mesh` key. Without it a fresh owner would
/// save the tool visualization's own default as its path.
///
/// Both objects are not owned and must outlive the binding. User-interface thread.
class ToolMeshBinding
{
public:
    ToolMeshBinding(Parameter<std::string>& toolMeshPath, ToolVisualizationAlgorithm& tool);
    ~ToolMeshBinding();
    ToolMeshBinding(const ToolMeshBinding&) = delete;
    ToolMeshBinding& operator=(const ToolMeshBinding&) = delete;

    /// Configures the tool visualization from the owner's properties (after the owner has read its own keys),
    /// then sets its mesh to `toolMeshPath`.
    void configure(const Properties& properties);
    /// Writes the tool visualization's keys beside the owner's, its `mesh` folded into `toolMeshPath`.
    void configuration(Properties& properties) const;

private:
    Parameter<std::string>& m_toolMeshPath;
    ToolVisualizationAlgorithm& m_tool;
    SignalConnection m_follower;
};

} // namespace Kelvaros
