#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>
#include <QCommandLineParser>

#include "gui/view/InteractiveView.h"

#include "MainWindow.h"
#include "WorkbenchDemo.h"

int main(int argc, char* argv[])
{
    Kelvaros::InteractiveView::prepareApplication();
    QApplication application(argc, argv);
    QApplication::setOrganizationName("Kelvaros");
    QApplication::setApplicationName("Kelvaros Workbench");

    QCommandLineParser parser;
    parser.setApplicationDescription("The Kelvaros workbench: tracking, calibration, registration and navigation.");
    parser.addHelpOption();
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
    parser.process(application);

    if (!parser.isSet("demo"))
    {
        Kelvaros::MainWindow window;
        window.show();
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
