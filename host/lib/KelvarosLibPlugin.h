#pragma once

#include <memory>

#include "core/Export.h"
#include "lib/AlgorithmControllerFactory.h"
#include "lib/AlgorithmFactory.h"
#include "lib/DataAnnotationFactory.h"
#include "lib/PluginBase.h"

namespace Kelvaros
{

/// A plug-in that offers algorithms: init hands the host its factories through registerFactories.
class KELVAROS_API KelvarosLibPlugin : public PluginBase
{
public:
    ~KelvarosLibPlugin() override;

    /// The registered factories (null before init).
    [[nodiscard]] AlgorithmFactory* algorithmFactory() const { return m_algorithmFactory.get(); }
    [[nodiscard]] AlgorithmControllerFactory* controllerFactory() const { return m_controllerFactory.get(); }
    [[nodiscard]] DataAnnotationFactory* annotationFactory() const { return m_annotationFactory.get(); }

protected:
    /// Takes ownership of the factories; any of them may be null.
    void registerFactories(std::unique_ptr<AlgorithmFactory> algorithms,
                           std::unique_ptr<AlgorithmControllerFactory> controllers,
                           std::unique_ptr<DataAnnotationFactory> annotations);

private:
    std::unique_ptr<AlgorithmFactory> m_algorithmFactory;
    std::unique_ptr<AlgorithmControllerFactory> m_controllerFactory;
    std::unique_ptr<DataAnnotationFactory> m_annotationFactory;
};

} // namespace Kelvaros
