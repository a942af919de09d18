#pragma once

#include <string>
#include <vector>

#include "lib/KelvarosLibPlugin.h"

namespace Kelvaros
{

/// The Navigation plug-in: hands the host its algorithm and controller factories.
class NavigationPlugin : public KelvarosLibPlugin
{
public:
    NavigationPlugin() = default;
    ~NavigationPlugin() override;

    [[nodiscard]] std::string author() const override;
    [[nodiscard]] std::string description() const override;
    [[nodiscard]] std::vector<std::string> dependencies() const override;
    /// Creates the controller factory, then the algorithm factory (whose constructor registers every algorithm),
    /// and hands both to the host. Always succeeds.
    Status init() override;

    /// "Kelvaros.Navigation"
    static std::string id();
};

} // namespace Kelvaros
