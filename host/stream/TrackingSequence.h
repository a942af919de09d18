#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/Data.h"
#include "stream/ElementwiseDataComponentData.h"
#include "stream/TrackerID.h"

namespace Kelvaros
{

/// A recorded track of one instrument: a list of samples (pose, device timestamp, quality, tracked flag), each
/// with optional data components of its own (elementwiseComponents().element(i), for example the sample's
/// TrackingInstrumentFiducialsData), plus the instrument's identity, its calibration and the tracker's
/// registration at recording time.
///
/// Frames: matrix(i) maps the tool frame into tracker space (as delivered, calibration not applied);
/// calibration() maps the calibrated tool frame into the tool frame; registration() maps tracker space into
/// world space. The calibrated world pose of sample i is registration() · matrix(i) · calibration().
/// Data::matrix() is the sequence's own placement and is independent of these.
///
/// Not synchronised: one thread at a time (normally the user-interface thread; a recorder fills its sequences
/// under its own lock before handing them over).
class KELVAROS_API TrackingSequence
  : public Data
  , public ElementwiseDataComponentData
{
public:
    explicit TrackingSequence(std::string name = std::string());
    TrackingSequence(const TrackingSequence& other);
    ~TrackingSequence() override;

    [[nodiscard]] Kind kind() const override { return Kind::TrackingSequence; }
    [[nodiscard]] Modality modality() const override { return Modality::Tracking; }

    /// Number of samples.
    [[nodiscard]] virtual int size() const;
    [[nodiscard]] bool empty() const { return size() == 0; }

    /// Data::matrix() (the placement of the sequence) stays reachable beside the per-sample poses.
    using Data::matrix;
    /// Pose of sample i: tool frame → tracker space, mm. The per-sample accessors need 0 <= i < size(); any
    /// other index throws std::out_of_range (a programming error, never a silent read past the end).
    [[nodiscard]] Eigen::Matrix4d matrix(int i) const;
    /// Device timestamp of sample i in microseconds of the device's clock (0 = unknown).
    [[nodiscard]] int64_t timestamp(int i) const;
    /// Tracking quality of sample i as the device reported it.
    [[nodiscard]] double quality(int i) const;
    /// Whether the device saw the tool in sample i.
    [[nodiscard]] bool tracked(int i) const;

    /// Appends a sample (with an empty component list) and returns its index.
    int add(const Eigen::Matrix4d& pose, int64_t timestamp, double quality = 1.0, bool tracked = true);
    /// Replaces the pose of sample i.
    void setMatrix(int i, const Eigen::Matrix4d& pose);
    /// Data::setMatrix (the placement) stays reachable.
    using Data::setMatrix;
    /// Removes sample i (and its components); later samples move up by one. False when i is out of range.
    bool remove(int i);
    /// Removes every sample.
    void clear();

    /// Calibrated tool frame → tool frame; identity by default.
    [[nodiscard]] Eigen::Matrix4d calibration() const { return m_calibration; }
    void setCalibration(const Eigen::Matrix4d& calibration) { m_calibration = calibration; }
    /// Tracker space → world space at recording time; identity by default.
    [[nodiscard]] Eigen::Matrix4d registration() const { return m_registration; }
    void setRegistration(const Eigen::Matrix4d& registration) { m_registration = registration; }
    /// The recorded instrument.
    [[nodiscard]] const TrackerID& trackerID() const { return m_trackerID; }
    void setTrackerID(const TrackerID& id) { m_trackerID = id; }

private:
    struct Sample
    {
        Eigen::Matrix4d pose;
        int64_t timestamp;
        double quality;
        bool tracked;
    };

    std::vector<Sample> m_samples;
    Eigen::Matrix4d m_calibration = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d m_registration = Eigen::Matrix4d::Identity();
    TrackerID m_trackerID;
};

} // namespace Kelvaros
