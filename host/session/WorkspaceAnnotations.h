#pragma once

#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class AnnotationModel;
class ApplicationController;
class Properties;

/// The planned lines and paths of a workspace: each with its kind, name, colour, the volume it was planned on (by
/// name) and its points in world coordinates, which the volume's placement saved beside them puts back where they
/// were. Other annotations (tool meshes and direction lines the application places) are not the user's and are not
/// saved.
class KELVAROS_API WorkspaceAnnotations
{
public:
    /// Adds an "annotation" node for each line and path of the model.
    static void save(const AnnotationModel& model, Properties& workspace);
    /// Adds the saved lines and paths to the model, attached to their volumes (loaded before). One that cannot be
    /// read, or whose volume is missing, is left out and named in `problems`.
    static void load(const Properties& workspace, ApplicationController& app, AnnotationModel& model,
                     std::vector<std::string>& problems);
};

} // namespace Kelvaros
