#pragma once

#include <QImage>

#include "gui/scene/RenderInfo.h"

#include "../gl/GlTestFixture.h"

namespace Kelvaros::GL::Testing
{

inline const QRgb kBlack = qRgb(0, 0, 0);

/// Scene objects drawn into the fixture's 128x64 framebuffer, world millimetres = pixels (z in [-100, 100]).
class SceneObjectTest : public GlTest
{
protected:
    [[nodiscard]] RenderInfo info() const
    {
        RenderInfo result;
        result.viewState = pixelView();
        result.viewState.projection *= Eigen::Vector4d(1, 1, 0.01, 1).asDiagonal();
        return result;
    }

    /// A slice view's info: the plane z = height, seen from +z like the 3D pixel view.
    [[nodiscard]] RenderInfo sliceInfo(double height) const
    {
        RenderInfo result = info();
        result.sliceView = true;
        Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
        pose.topRightCorner<3, 1>() = Eigen::Vector3d(0, 0, height);
        result.slice.setPose(pose);
        return result;
    }

    static int brightness(QRgb pixel) { return qRed(pixel) + qGreen(pixel) + qBlue(pixel); }
};

} // namespace Kelvaros::GL::Testing
