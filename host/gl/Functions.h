#pragma once

#include "core/Export.h"

class QOpenGLFunctions_3_3_Core;

namespace Kelvaros::GL
{

/// The OpenGL 3.3 core functions of the context current on the calling thread, or nullptr (with an Error in the
/// log under `category`) when no context is current or it offers no 3.3 core profile.
[[nodiscard]] KELVAROS_API QOpenGLFunctions_3_3_Core* currentFunctions(const char* category);

} // namespace Kelvaros::GL
