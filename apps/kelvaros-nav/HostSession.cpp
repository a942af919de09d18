#include "HostSession.h"

#include <cstdio>
#include <sstream>

#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"

namespace Kelvaros::Nav
{

const char* const HostSession::kKinds = "tracking, image";

HostSession::HostSession() : m_app(std::make_unique<ApplicationController>()) {}

HostSession::~HostSession() = default;

bool HostSession::loadPlugins()
{
    if (m_app->loadPlugins() > 0)
        return true;
    std::fputs("kelvaros-nav: no plug-in found next to the program or in KELVAROS_PLUGIN_PATH\n", stderr);
    return false;
}

std::optional<DataList> HostSession::makeSelection(const std::string& kinds, std::string* error)
{
    std::vector<Data*> selection;
    std::istringstream list(kinds);
    for (std::string kind; std::getline(list, kind, ',');)
    {
        const auto first = kind.find_first_not_of(' ');
        if (first == std::string::npos)
            continue;
        const std::string trimmed = kind.substr(first, kind.find_last_not_of(' ') - first + 1);
        if (trimmed == "tracking")
            selection.push_back(m_app->addData(std::make_unique<ManualTrackingStream>("Tracking Stream")));
        else if (trimmed == "image")
            selection.push_back(m_app->addData(
              std::make_unique<SharedImageSet>("Volume", Eigen::Vector3i(64, 64, 64), Eigen::Vector3d(1, 1, 1))));
        else
        {
            *error = "unknown data kind '" + trimmed + "' (known: " + kKinds + ")";
            return std::nullopt;
        }
    }
    return DataList(selection);
}

} // namespace Kelvaros::Nav
