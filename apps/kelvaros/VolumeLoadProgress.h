#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class QTimer;

namespace Kelvaros
{

class VolumeLoader;

/// The status bar's sign of life while volumes load: the file (and how many more), a progress bar and Cancel,
/// which stops every running load. Hidden while nothing loads. Main thread only.
class VolumeLoadProgress : public QWidget
{
    Q_OBJECT

public:
    /// The loader is not owned and outlives this widget.
    explicit VolumeLoadProgress(VolumeLoader& loader, QWidget* parent = nullptr);

private:
    void refresh();

    VolumeLoader& m_loader;
    QLabel* m_label;
    QProgressBar* m_bar;
    QTimer* m_timer;
};

} // namespace Kelvaros
