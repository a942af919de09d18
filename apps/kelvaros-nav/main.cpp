// kelvaros-nav: the headless command-line tool of the Kelvaros navigation system.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/Log.h"

#include "AlgorithmsCommand.h"
#include "BreachCommand.h"
#include "CalibrateCommand.h"
#include "DemoCommand.h"
#include "ExitCode.h"
#include "ImageCommands.h"
#include "RegisterCommand.h"
#include "ScreenshotCommand.h"
#include "StreamCommands.h"

namespace
{
using namespace Kelvaros::Nav;

struct Command
{
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* const* usage;
};

const Command kCommands[] = {
    { "demo", &runDemo, &kDemoUsage },
    { "algorithms", &runAlgorithms, &kAlgorithmsUsage },
    { "calibrate", &runCalibrate, &kCalibrateUsage },
    { "register", &runRegister, &kRegisterUsage },
    { "breach", &runBreach, &kBreachUsage },
    { "smooth", &runSmooth, &kSmoothUsage },
    { "record", &runRecord, &kRecordUsage },
    { "relay", &runRelay, &kRelayUsage },
    { "config", &runConfig, &kConfigUsage },
    { "image-info", &runImageInfo, &kImageInfoUsage },
    { "phantom", &runPhantom, &kPhantomUsage },
    { "screenshot", &runScreenshot, &kScreenshotUsage },
};

void printUsage(std::FILE* out)
{
    std::fputs("Usage: kelvaros-nav <command> [arguments]\n\nCommands:\n", out);
    for (const auto& command : kCommands)
        std::fputs(*command.usage, out);
    std::fputs("  help         show this text\n"
               "\n"
               "Plug-ins are loaded from the folder of this program and from the folders listed in\n"
               "KELVAROS_PLUGIN_PATH (separated by ':').\n"
               "\n"
               "Exit codes: 0 success, 1 the work failed, 2 wrong usage, 3 unreadable or malformed input,\n"
               "4 output could not be written.\n",
               out);
}

} // namespace

int main(int argc, char** argv)
{
    // Progress goes to stderr, the report to stdout; line buffering keeps them in order in a shared log.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string name = argc > 1 ? argv[1] : "help";
    if (name == "help" || name == "--help" || name == "-h")
    {
        printUsage(stdout);
        return ExitSuccess;
    }
    for (const auto& command : kCommands)
    {
        if (name != command.name)
            continue;
        // Warnings and errors of the host and plug-ins reach the user; information would drown the report.
        Kelvaros::Log::g_globalLevel = Kelvaros::Log::Warning;
        return command.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "kelvaros-nav: unknown command '%s'\n\n", name.c_str());
    printUsage(stderr);
    return ExitUsage;
}
