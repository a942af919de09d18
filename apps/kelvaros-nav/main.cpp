// kelvaros-nav: the headless command-line tool of the Kelvaros navigation system.

#include <cstdio>
#include <string>

#include "core/Log.h"
#include "lib/ApplicationController.h"
#include "lib/PluginBase.h"
#include "lib/PluginLoader.h"

namespace
{

enum ExitCode : int
{
    ExitSuccess = 0,
    ExitFailure = 1,
    ExitUsage = 2
};

void printUsage(std::FILE* out)
{
    std::fputs("Usage: kelvaros-nav <command>\n"
               "\n"
               "Commands:\n"
               "  algorithms   list the loaded plug-ins and every registered algorithm\n"
               "               (identifier and menu category)\n"
               "  help         show this text\n"
               "\n"
               "Plug-ins are loaded from the folder of this program and from the folders listed in\n"
               "KELVAROS_PLUGIN_PATH (separated by ':').\n"
               "\n"
               "Exit codes: 0 success, 1 failure, 2 wrong usage.\n",
               out);
}

int listAlgorithms(Kelvaros::ApplicationController& app)
{
    const auto& plugins = app.pluginLoader().plugins();
    if (plugins.empty())
    {
        std::fputs("No plug-in found.\n", stderr);
        return ExitFailure;
    }
    std::printf("Plug-ins (%zu):\n", plugins.size());
    for (const auto& info : plugins)
        std::printf("  %-24s %s\n    %s\n", info.id.c_str(), info.plugin->description().c_str(), info.path.c_str());

    const auto algorithms = app.algorithmDescriptors();
    std::printf("\nAlgorithms (%zu):\n", algorithms.size());
    for (const auto& entry : algorithms)
        std::printf("  %-48s %s\n", entry.descriptor->id.c_str(), entry.descriptor->category.c_str());
    return ExitSuccess;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "help";
    if (command == "help" || command == "--help" || command == "-h")
    {
        printUsage(stdout);
        return ExitSuccess;
    }
    if (command != "algorithms")
    {
        std::fprintf(stderr, "kelvaros-nav: unknown command '%s'\n\n", command.c_str());
        printUsage(stderr);
        return ExitUsage;
    }

    Kelvaros::Log::g_globalLevel = Kelvaros::Log::Warning;
    Kelvaros::ApplicationController app;
    app.loadPlugins();
    return listAlgorithms(app);
}
