#include "AlgorithmsCommand.h"

#include <algorithm>
#include <cstdio>

#include "core/Properties.h"
#include "lib/Algorithm.h"
#include "lib/PluginBase.h"
#include "lib/PluginLoader.h"

#include "CommandLine.h"
#include "ExitCode.h"
#include "HostSession.h"

namespace Kelvaros::Nav
{

const char* const kAlgorithmsUsage =
  "  algorithms [--data KINDS]\n"
  "               the loaded plug-ins and every registered algorithm (identifier, menu category);\n"
  "               with --data (comma-separated: tracking, image) whether each fits that selection\n";
const char* const kConfigUsage = "  config ALGORITHM [--data KINDS]\n"
                                 "               an algorithm's default configuration as the XML --config accepts\n";

namespace
{
int usageError(const char* command, const std::string& error)
{
    std::fprintf(stderr, "kelvaros-nav %s: %s\n", command, error.c_str());
    return ExitUsage;
}

bool fits(const ApplicationController& app, const std::string& id, const DataList& data)
{
    const auto compatible = app.compatibleAlgorithms(data);
    return std::any_of(compatible.begin(), compatible.end(),
                       [&id](const auto& entry) { return entry.descriptor->id == id; });
}

/// The first of a few typical selections the algorithm fits; the data stay with the session.
std::optional<DataList> firstFittingSelection(HostSession& session, const std::string& id)
{
    for (const char* kinds : { "", "tracking", "image", "tracking,image", "image,tracking", "tracking,tracking" })
    {
        std::string ignored;
        auto selection = session.makeSelection(kinds, &ignored);
        if (selection && fits(session.app(), id, *selection))
            return selection;
    }
    return std::nullopt;
}
} // namespace

int runAlgorithms(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "data" }, {}, 0, 0 });
    if (!line.ok())
        return usageError("algorithms", line.error());
    HostSession session;
    std::optional<DataList> selection;
    std::string error;
    if (line.value("data") && !(selection = session.makeSelection(*line.value("data"), &error)))
        return usageError("algorithms", error);
    if (!session.loadPlugins())
        return ExitFailure;

    const auto& plugins = session.app().pluginLoader().plugins();
    std::printf("Plug-ins (%zu):\n", plugins.size());
    for (const auto& info : plugins)
        std::printf("  %-24s %s\n    %s\n", info.id.c_str(), info.plugin->description().c_str(), info.path.c_str());

    const auto algorithms = session.app().algorithmDescriptors();
    std::printf("\nAlgorithms (%zu)%s:\n", algorithms.size(),
                selection ? (" and whether they fit " + *line.value("data")).c_str() : "");
    size_t idWidth = 0;
    size_t categoryWidth = 0;
    for (const auto& entry : algorithms)
    {
        idWidth = std::max(idWidth, entry.descriptor->id.size());
        categoryWidth = std::max(categoryWidth, entry.descriptor->category.size());
    }
    for (const auto& entry : algorithms)
    {
        const std::string& id = entry.descriptor->id;
        std::printf("  %-*s  %-*s", int(idWidth), id.c_str(), int(categoryWidth), entry.descriptor->category.c_str());
        if (selection)
            std::printf("  %s", fits(session.app(), id, *selection) ? "fits" : "-");
        std::printf("\n");
    }
    return ExitSuccess;
}

int runConfig(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "data" }, {}, 1, 1 });
    if (!line.ok())
        return usageError("config", line.error() + " (config ALGORITHM)");
    HostSession session;
    if (!session.loadPlugins())
        return ExitFailure;
    const std::string& id = line.positional().front();
    if (!session.app().findAlgorithm(id).descriptor)
        return usageError("config", "no algorithm '" + id + "' (see kelvaros-nav algorithms)");

    std::string error;
    auto selection =
      line.value("data") ? session.makeSelection(*line.value("data"), &error) : firstFittingSelection(session, id);
    if (!selection && line.value("data"))
        return usageError("config", error);
    if (!selection)
    {
        std::fprintf(stderr, "kelvaros-nav config: %s fits none of the sample selections; give --data\n", id.c_str());
        return ExitFailure;
    }
    if (!fits(session.app(), id, *selection))
    {
        std::fprintf(stderr, "kelvaros-nav config: %s does not fit the data selection\n", id.c_str());
        return ExitFailure;
    }
    Algorithm* algorithm = session.app().createAlgorithm(id, *selection);
    if (!algorithm)
        return ExitFailure;
    Properties configuration;
    configuration.setName(id);
    algorithm->configuration(&configuration);
    // A stream-creation algorithm stores nothing of its own until it has made its stream; the defaults are the
    // stream's, so make one on the sample data (it stays with the algorithm) and ask again.
    if (configuration.isEmpty())
    {
        algorithm->compute();
        if (algorithm->status() == Algorithm::Success)
            algorithm->configuration(&configuration);
    }
    std::fputs(configuration.toXml().c_str(), stdout);
    return ExitSuccess;
}

} // namespace Kelvaros::Nav
