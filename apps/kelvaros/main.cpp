#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QApplication>
#include <QCommandLineParser>

#include "gui/view/InteractiveView.h"

#include "MainWindow.h"
#include "WorkbenchDemo.h"

namespace
{
void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription("The Kelvaros workbench: tracking, calibration, registration and navigation.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({ "demo", "Open the demo workspace on the simulated tracker." });
    parser.addOption({ "screenshots",
                       "With --demo: write screenshots of the window into DIR, print the report "
                       "against ground truth and exit.",
                       "DIR" });
    parser.addOption({ "seconds",
                       "With --screenshots: how long the demo runs (default 6), or until the needle is half way in "
                       "for navigation.png.",
                       "S", "6" });
    parser.addOption({ "measure", "With --demo: print FIGURE lines (start to first frame, frame rate) and exit." });
    parser.addPositionalArgument("files", "Volumes, meshes, tracking recordings or a workspace to open.", "[FILE...]");
}

void nameApplication()
{
    QCoreApplication::setOrganizationName("Kelvaros");
    QCoreApplication::setApplicationName("Kelvaros Workbench");
    QCoreApplication::setApplicationVersion(KELVAROS_VERSION);
}

/// Help and version are answered before the window system is reached, so that they work without a display. Other
/// command lines are read by the window application, which takes Qt's own options (-platform, -style) off first.
bool answersWithoutDisplay(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i)
        for (const char* option : { "-h", "--help", "-?", "--help-all", "-v", "--version" })
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}
} // namespace

int main(int argc, char* argv[])
{
    if (answersWithoutDisplay(argc, argv))
    {
        QCoreApplication reader(argc, argv);
        nameApplication();
        QCommandLineParser parser;
        describeOptions(parser);
        parser.process(reader); // prints and exits
        return 0;
    }
    Kelvaros::InteractiveView::prepareApplication();
    QApplication application(argc, argv);
    nameApplication();
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(application);

    if (!parser.isSet("demo"))
    {
        Kelvaros::MainWindow window;
        window.show();
        window.openFiles(parser.positionalArguments());
        return QApplication::exec();
    }
    Kelvaros::DemoOptions options;
    if (parser.isSet("screenshots"))
        options.screenshots = parser.value("screenshots").toStdString();
    bool ok = false;
    options.seconds = parser.value("seconds").toDouble(&ok);
    if (!ok || options.seconds <= 0 || options.seconds > 3600)
    {
        std::fprintf(stderr, "kelvaros: --seconds must be a number of seconds from 0 to 3600\n");
        return 2;
    }
    options.measure = parser.isSet("measure");
    return Kelvaros::runDemo(options);
}
