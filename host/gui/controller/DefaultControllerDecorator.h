#pragma once

#include <QString>
#include <QWidget>

#include "core/Export.h"

class QLabel;
class QToolButton;

namespace Kelvaros
{

class AlgorithmController;

/// The frame the host puts around every panel: a title bar with the panel's title and a close button that asks
/// the controller to close its algorithm (AlgorithmController::closeAlgorithm), and the panel below. Main thread.
class KELVAROS_API DefaultControllerDecorator : public QWidget
{
    Q_OBJECT

public:
    /// The controller must be a QWidget; it becomes this frame's child and dies with it.
    explicit DefaultControllerDecorator(AlgorithmController* controller, QWidget* parent = nullptr);
    ~DefaultControllerDecorator() override;

    [[nodiscard]] AlgorithmController* controller() const { return m_controller; }
    /// Shown instead of the controller's title while not empty.
    void setTitleOverride(const QString& title);
    /// The title shown: the override, else the controller's title().
    [[nodiscard]] QString title() const;
    [[nodiscard]] QToolButton* closeButton() const { return m_closeButton; }

private:
    AlgorithmController* m_controller;
    QString m_titleOverride;
    QLabel* m_titleLabel;
    QToolButton* m_closeButton;
};

} // namespace Kelvaros
