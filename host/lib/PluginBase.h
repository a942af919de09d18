#pragma once

#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class ApplicationController;

/// A plug-in as the host sees it once its library is loaded and its creation function called.
class KELVAROS_API PluginBase
{
public:
    enum Status : int
    {
        Success = 0,
        Failure = 1
    };

    PluginBase() = default;
    PluginBase(const PluginBase&) = delete;
    PluginBase& operator=(const PluginBase&) = delete;
    virtual ~PluginBase();

    [[nodiscard]] virtual std::string author() const = 0;
    [[nodiscard]] virtual std::string description() const = 0;
    /// Identifiers of the plug-ins (or host modules, such as "Kelvaros.Stream") this one needs.
    [[nodiscard]] virtual std::vector<std::string> dependencies() const { return {}; }
    /// Called once by the host after creation; the plug-in registers what it offers.
    virtual Status init() = 0;
    /// The controller of the application that loaded the plug-in (not owned).
    virtual void setApplicationController(ApplicationController* controller) { m_applicationController = controller; }

protected:
    [[nodiscard]] ApplicationController* applicationController() const { return m_applicationController; }

private:
    ApplicationController* m_applicationController = nullptr;
};

} // namespace Kelvaros
