#include "lib/KelvarosLibPlugin.h"

namespace Kelvaros
{

// The factories' code lives in the plug-in library, which the host closes only after this destructor ran.
KelvarosLibPlugin::~KelvarosLibPlugin() = default;

void KelvarosLibPlugin::registerFactories(std::unique_ptr<AlgorithmFactory> algorithms,
                                          std::unique_ptr<AlgorithmControllerFactory> controllers,
                                          std::unique_ptr<DataAnnotationFactory> annotations)
{
    m_algorithmFactory = std::move(algorithms);
    m_controllerFactory = std::move(controllers);
    m_annotationFactory = std::move(annotations);
}

} // namespace Kelvaros
