#pragma once

#include <QImage>
#include <QString>

#include "gui/scene/InteractiveOverlay.h"

namespace Kelvaros
{

/// A round button of 40 pixels over a view: a semi-transparent dark disc with a light rim and an icon, at an
/// anchor (see InteractiveOverlay). Emits clicked() for a press inside the disc. Main thread only.
class KELVAROS_API InteractiveButtonOverlay : public InteractiveOverlay
{
    Q_OBJECT

public:
    static constexpr int kDiameter = 40;

    explicit InteractiveButtonOverlay(int anchor, QObject* parent = nullptr);
    ~InteractiveButtonOverlay() override;

    void setIcon(const QImage& icon);
    /// Reads the icon from a file or a Qt resource path; a Warning in the log when it cannot be read.
    void setIcon(const QString& path);

    bool mousePress(int x, int y) override;

signals:
    void clicked();
};

} // namespace Kelvaros
