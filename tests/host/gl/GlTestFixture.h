#pragma once

#include <memory>
#include <vector>

#include <QGuiApplication>
#include <QImage>
#include <QOpenGLFunctions_3_3_Core>

#include <gtest/gtest.h>

#include "gl/Functions.h"
#include "gl/OffscreenRenderer.h"
#include "gl/ViewState.h"

namespace Kelvaros::GL::Testing
{

/// The program's QGuiApplication. Qt aborts when its xcb platform finds no display, so without DISPLAY none is
/// created and every test fails (GlTest::SetUp) saying what to do; failing here would only mark them skipped.
class GuiEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        if ((platform.isEmpty() || platform == "xcb") && qgetenv("DISPLAY").isEmpty())
            return;
        static int argc = 1;
        static char name[] = "KelvarosGLTest";
        static char* argv[] = { name, nullptr };
        // Deliberately never destroyed: that would close the X connection and unload Mesa's driver, after which
        // LeakSanitizer can neither name nor suppress what the driver left behind.
        static QGuiApplication* application = new QGuiApplication(argc, argv);
        Q_UNUSED(application);
    }
};

inline ::testing::Environment* const kGuiEnvironment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

/// Inclusive bounds of a set of pixels in window coordinates (y up).
struct Box
{
    int left = 0, right = -1, bottom = 0, top = -1;
    bool operator==(const Box& o) const
    {
        return left == o.left && right == o.right && bottom == o.bottom && top == o.top;
    }
};

/// A fresh context and black 128x64 framebuffer per test.
class GlTest : public ::testing::Test
{
protected:
    static constexpr int kWidth = 128;
    static constexpr int kHeight = 64;

    void SetUp() override
    {
        ASSERT_TRUE(renderer) << "no X display (DISPLAY is unset): run the OpenGL tests through scripts/test, "
                                 "which starts Xvfb, or under xvfb-run";
        ASSERT_TRUE(renderer->isValid()) << "no OpenGL 3.3 core context; see the log";
        ASSERT_TRUE(renderer->makeCurrent());
        f = currentFunctions("GlTest");
        f->glClearColor(0, 0, 0, 1);
        f->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }

    [[nodiscard]] ViewState pixelView() const
    {
        ViewState view(renderer->viewport());
        view.projection = createOrtho2d(kWidth, kHeight);
        return view;
    }

    QImage frame() { return renderer->toImage().convertToFormat(QImage::Format_RGB32); }

    /// The pixel at window coordinates (y counted from the bottom row).
    static QRgb at(const QImage& image, int x, int y) { return image.pixel(x, image.height() - 1 - y); }

    /// Bounds of the pixels brighter than black.
    static Box inkBox(const QImage& image)
    {
        Box box{ image.width(), -1, image.height(), -1 };
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (at(image, x, y) != qRgb(0, 0, 0))
                    box = { std::min(box.left, x), std::max(box.right, x), std::min(box.bottom, y),
                            std::max(box.top, y) };
        return box;
    }

    std::unique_ptr<OffscreenRenderer> renderer =
      QGuiApplication::instance() ? std::make_unique<OffscreenRenderer>(kWidth, kHeight) : nullptr;
    QOpenGLFunctions_3_3_Core* f = nullptr;
};

} // namespace Kelvaros::GL::Testing
