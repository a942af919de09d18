#include "gl/Functions.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>

#include "core/Log.h"

namespace Kelvaros::GL
{

QOpenGLFunctions_3_3_Core* currentFunctions(const char* category)
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    if (!context)
    {
        Log::log(Log::Error, category, "no OpenGL context is current on this thread");
        return nullptr;
    }
    auto* functions = context->versionFunctions<QOpenGLFunctions_3_3_Core>();
    if (!functions)
    {
        const QSurfaceFormat format = context->format();
        Log::logf(Log::Error, category, "the current OpenGL context ({}.{}) offers no 3.3 core profile",
                  format.majorVersion(), format.minorVersion());
    }
    return functions;
}

} // namespace Kelvaros::GL
