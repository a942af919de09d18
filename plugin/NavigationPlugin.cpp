#include "NavigationPlugin.h"

#include <memory>

#include "NavigationAlgorithmControllerFactory.h"
#include "NavigationAlgorithmFactory.h"

namespace Kelvaros
{

NavigationPlugin::~NavigationPlugin() = default;

std::string NavigationPlugin::author() const
{
    return "Kelvaros Navigation Systems";
}

std::string NavigationPlugin::description() const
{
    return "Plugin for real-time navigation and visualization of tracking tools";
}

std::vector<std::string> NavigationPlugin::dependencies() const
{
    return { "Kelvaros.Stream" };
}

PluginBase::Status NavigationPlugin::init()
{
    auto controllers = std::make_unique<NavigationAlgorithmControllerFactory>();
    auto algorithms = std::make_unique<NavigationAlgorithmFactory>();
    registerFactories(std::move(algorithms), std::move(controllers), nullptr);
    return Success;
}

std::string NavigationPlugin::id()
{
    return "Kelvaros.Navigation";
}

} // namespace Kelvaros
