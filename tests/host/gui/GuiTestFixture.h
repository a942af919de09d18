#pragma once

#include <memory>

#include <QApplication>
#include <QImage>

#include <gtest/gtest.h>

#include "gl/OffscreenRenderer.h"
#include "gui/view/InteractiveView.h"

namespace Kelvaros::Testing
{

/// The program's QApplication (widgets), made after the views' application settings (one shared context group,
/// 3.3 core). Without an X display none is made and every GuiTest fails saying why.
class GuiEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        if ((platform.isEmpty() || platform == "xcb") && qgetenv("DISPLAY").isEmpty())
            return;
        InteractiveView::prepareApplication();
        static int argc = 1;
        static char name[] = "KelvarosGuiTest";
        static char* argv[] = { name, nullptr };
        // Never destroyed, as in the GL tests: Mesa's driver must stay loaded for the leak checker.
        static QApplication* application = new QApplication(argc, argv);
        Q_UNUSED(application);
    }
};

inline ::testing::Environment* const kGuiEnvironment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

/// A fresh context with a black framebuffer of kWidth x kHeight per test.
class GuiTest : public ::testing::Test
{
protected:
    static constexpr int kWidth = 96;
    static constexpr int kHeight = 96;

    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance())
          << "no X display (DISPLAY is unset): run through scripts/test or xvfb-run";
        ASSERT_TRUE(renderer->isValid()) << "no OpenGL 3.3 core context; see the log";
        ASSERT_TRUE(renderer->makeCurrent());
    }

    QImage frame() { return renderer->toImage().convertToFormat(QImage::Format_RGB32); }
    /// The pixel at window coordinates (y counted from the bottom row).
    static QRgb at(const QImage& image, int x, int y) { return image.pixel(x, image.height() - 1 - y); }

    std::unique_ptr<GL::OffscreenRenderer> renderer =
      QApplication::instance() ? std::make_unique<GL::OffscreenRenderer>(kWidth, kHeight) : nullptr;
};

} // namespace Kelvaros::Testing
