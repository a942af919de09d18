#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QWidget>

#include <Eigen/Core>

#include "visualization/InsertionReadout.h"

class QDoubleSpinBox;
class QLabel;
class QTimer;

namespace Kelvaros
{

class Data;

/// A small panel with the insertion read-out: one label per value, coloured by its tolerance grade, and the
/// tolerances the user sets (mm for distances, degrees for the angle). Between samples a timer turns the read-out
/// stale once no sample has come for InsertionReadout::kStaleAfterUs, so it never freezes silently. Below the
/// values, the breach warning's reading of the same tool, when a breach warning measures it (BreachReadingBoard);
/// before a path is set, that line alone.
/// Main thread only.
class InsertionReadoutWidget : public QWidget
{
    Q_OBJECT

public:
    explicit InsertionReadoutWidget(QWidget* parent = nullptr);
    ~InsertionReadoutWidget() override;

    /// The planned path (world, mm) and the region of the plan (see judgeFigures; empty: no registration
    /// judgement); the read-out is recomputed at once.
    void setPath(const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                 const std::optional<Eigen::AlignedBox3d>& region);
    /// A sample arrived: the needle as its tool visualization knows it now (pose, empty when not seen; what its
    /// calibration establishes). The time since the sample is counted here from now on.
    void onSample(const ToolSnapshot& tool);
    /// The tool whose breach reading is shown (with the stream it is tracked in), looked up at every refresh.
    void setBreachSource(const Data* stream, const std::string& toolId);
    /// Recomputes from the last pose as if `sinceLastSampleUs` had passed since its sample.
    void refresh(int64_t sinceLastSampleUs);

    [[nodiscard]] const InsertionReadout& readout() const { return m_readout; }
    [[nodiscard]] InsertionTolerance tolerance() const;
    [[nodiscard]] QDoubleSpinBox* toleranceMmSpinBox() const { return m_toleranceMm; }
    [[nodiscard]] QDoubleSpinBox* toleranceDegreesSpinBox() const { return m_toleranceDegrees; }
    /// The value labels, top to bottom; a state is shown in the first alone, the breach line last.
    [[nodiscard]] const std::array<QLabel*, 5>& labels() const { return m_labels; }

signals:
    /// After every recomputation (the 3D view's text follows it).
    void readoutChanged(const InsertionReadout& readout);

private:
    void onTick();
    [[nodiscard]] int64_t sinceLastSampleUs() const;
    /// The lines shown: the figures' only once a path is set.
    [[nodiscard]] std::vector<InsertionReadoutLine> shownLines() const;

    std::array<QLabel*, 5> m_labels{};
    QWidget* m_tolerances = nullptr;
    QDoubleSpinBox* m_toleranceMm;
    QDoubleSpinBox* m_toleranceDegrees;
    QTimer* m_timer;
    QElapsedTimer m_sinceSample;
    ToolSnapshot m_tool;
    std::optional<Eigen::AlignedBox3d> m_region;
    Eigen::Vector3d m_entry = Eigen::Vector3d::Zero();
    Eigen::Vector3d m_target = Eigen::Vector3d::Zero();
    bool m_pathSet = false;
    const Data* m_breachStream = nullptr;
    std::string m_breachTool;
    InsertionReadout m_readout;
};

} // namespace Kelvaros
