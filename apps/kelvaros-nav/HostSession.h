#pragma once

#include <memory>
#include <optional>
#include <string>

#include "lib/ApplicationController.h"
#include "lib/DataList.h"

namespace Kelvaros::Nav
{

/// The host as the tool uses it: an application controller with the plug-ins loaded, and the sample data the
/// commands create algorithms on.
class HostSession
{
public:
    HostSession();
    ~HostSession();

    /// Loads the plug-ins next to the program and in KELVAROS_PLUGIN_PATH; false (with a line on stderr) when
    /// none was found.
    bool loadPlugins();

    [[nodiscard]] ApplicationController& app() { return *m_app; }

    /// A data selection from a comma-separated list of kinds: "tracking" (a tracking stream fed by the program)
    /// and "image" (an empty 64x64x64 volume of 1 mm voxels). The data are owned by the session. Empty, with
    /// `error` set, for an unknown kind; an empty text gives an empty selection.
    std::optional<DataList> makeSelection(const std::string& kinds, std::string* error);

    /// The kinds makeSelection understands, for usage texts.
    static const char* const kKinds;

private:
    std::unique_ptr<ApplicationController> m_app;
};

} // namespace Kelvaros::Nav
