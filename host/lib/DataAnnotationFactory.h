#pragma once

#include "core/Export.h"

namespace Kelvaros
{

/// Creates the annotations (points, lines, meshes drawn over data) a plug-in offers. Plug-ins without
/// annotation types of their own hand the host none.
class KELVAROS_API DataAnnotationFactory
{
public:
    virtual ~DataAnnotationFactory();
};

} // namespace Kelvaros
