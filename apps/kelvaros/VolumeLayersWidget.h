#pragma once

#include <vector>

#include <QWidget>

#include "core/Signal.h"

class QComboBox;
class QDoubleSpinBox;
class QListWidget;
class QSlider;

namespace Kelvaros
{

class ApplicationController;
class Data;
class SharedImageSet;

/// The "Layers" panel: the volumes in data-list order (the first at the bottom of the drawing), each with a check
/// box that shows or hides it, and for the selected one its opacity, colour map, a window/level preset and the
/// window and level themselves. Every change goes into the volume's ImageDisplayOptionsComponent, which the views
/// watch; a change made elsewhere (a drag in a slice view) is shown here. Main thread only.
class VolumeLayersWidget
  : public QWidget
  , public SignalReceiver
{
    Q_OBJECT

public:
    /// The application is not owned and outlives the widget.
    explicit VolumeLayersWidget(ApplicationController& app, QWidget* parent = nullptr);
    ~VolumeLayersWidget() override;

    /// The volume whose settings the controls show; null when none is selected.
    [[nodiscard]] SharedImageSet* selectedVolume() const;

signals:
    /// The selected volume changed: window/level gestures in the views should adjust it.
    void selectedVolumeChanged(Kelvaros::SharedImageSet* volume);

private:
    void buildControls();
    void rebuild(const Data* leaving);
    void onSelectionChanged();
    void showSettings();
    void showOptions(SharedImageSet& set);
    void unwatch();
    void applyWindowLevel();
    void applyPreset(int index);

    ApplicationController& m_app;
    QListWidget* m_list;
    QSlider* m_opacity = nullptr;
    QComboBox* m_colorMap = nullptr;
    QComboBox* m_preset = nullptr;
    QDoubleSpinBox* m_window = nullptr;
    QDoubleSpinBox* m_level = nullptr;
    /// The option signals of the listed volumes.
    std::vector<SignalConnection> m_watched;
    /// Set while the controls are filled from the settings, so that filling them changes nothing.
    bool m_showing = false;
};

} // namespace Kelvaros
