#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "core/Configurable.h"
#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/Algorithm.h"
#include "lib/RegistrationHistoryComponent.h"
#include "lib/numerics/RegistrationQuality.h"
#include "lib/points/PointCorrespondences.h"
#include "lib/points/PointsOnImage.h"
#include "stream/TrackingInstrument.h"

#include "registration/PointsOnTrackingStream.h"

namespace Kelvaros
{

class DataList;
class SharedImageSet;
class StreamData;
class TrackingStream;

/// Registers a tracking system to an image volume from paired points. The calibrated tip of the tracking target
/// (a pointer) is sampled as a tracked point, the matching landmark is marked in the volume as an image point, and
/// compute() fits the rigid transform T between the two sets (PointCorrespondences: volume matrix · T is the
/// registered volume matrix, which places the image points onto the tracked points in world space) and applies it
/// according to the registration type:
///  - GlobalTracking (0): volume matrix := volume matrix · T;
///  - AdjustVolumeRegistration (1): the same, and the reference ("relative") instrument's calibration := identity;
///  - AdjustRelativeCalibration (2): the volume stays; the reference instrument's calibration C becomes the rigid
///    map from the volume's image coordinates into the reference frame, S⁻¹ · V · T (S the stream's world matrix
///    the fit used, V the volume matrix), and the stream's world matrix is set to V. For relative tracking the
///    stream's world matrix is the volume's matrix: every tool visualization, whether built with the image (which
///    sets the same matrix) or without it (bullseye, navigation), then draws a tool relative to the calibrated
///    reference, V · C⁻¹ · R⁻¹ · pose · calibration, on the volume, in whatever order views and registration come.
///    The calibration written for that placement is T itself when S already was V.
///
/// Tracked points are sampled from the latest sample of the two instruments, which the stream listener keeps. A
/// sample is usable when it is of the instrument currently selected, its tracked flag is set and its quality is at
/// least 0.8; an empty tracking target selects nothing, and an empty reference id means no reference (the
/// tracked point set keeps that rule). The tip is pose · calibration
/// (calibration from the stream's InstrumentCalibrationDataComponent, identity when there is none), relative to a
/// reference instrument R as R⁻¹ · pose · calibration.
///
/// After the fit, compute() judges it (RegistrationQuality: the FRE against the expected localisation error
/// "expectedFle"), logs the judgement (a Warning when the fit is improbable), keeps it and applies the registration
/// all the same: the user sees the warning and decides. Each applied registration is recorded, with its provenance
/// and the values it replaced, in the volume's RegistrationHistoryComponent; restorePreviousRegistration() puts
/// those back exactly, and a second call redoes the registration.
///
/// Configuration: "registrationType" (int), "expectedFle" (double, mm), then the block "pointCorrespondences" with
/// "pointsFirst" (the tracked points, PointsOnTrackingStream) and "pointsSecond" (the image points, PointsOnImage).
///
/// Threads: onStreamData runs on the stream's delivery thread for every sample; everything else on the
/// user-interface thread. The mutex guards only the two instrument copies; the point sets are touched on the
/// user-interface thread only (the instrument ids, which the listener reads, are guarded inside the tracked set).
/// The stream and the volume must outlive the algorithm.
class LiveTrackingPointRegistrationAlgorithm
  : public Algorithm
  , public SignalReceiver
{
public:
    enum RegistrationType : int
    {
        GlobalTracking = 0,
        AdjustVolumeRegistration = 1,
        AdjustRelativeCalibration = 2
    };

    /// compute() results beyond the host's 0 (success); on each of them nothing is changed.
    enum ComputeStatus : int
    {
        /// Fewer than 3 pairs, or pairs that do not determine a rigid transform (coincident or collinear points).
        StatusUnusablePoints = 2,
        /// A relative registration type without a reference instrument id.
        StatusNoRelativeTracker = 3,
        /// A registration type outside the enumeration (from a hand-edited configuration, say).
        StatusInvalidRegistrationType = 4
    };

    /// The expected localisation error before the user says otherwise (mm): an optical pointer's tip on a
    /// well-defined landmark (the tip lies far from the markers, so their noise reaches it enlarged: about 0.35 mm
    /// on the simulated tracker) together with the landmark marked in the image.
    static constexpr double kDefaultExpectedFle = 0.5;

    /// One pair as reported to the user: "id" (pair index), "volume" (image point in the volume's image
    /// coordinates, empty when the pair has none), "tracked" (tracked point, empty when the pair has none).
    struct Correspondence : public Configurable
    {
        Correspondence();
        Correspondence(const Correspondence& other);
        Correspondence& operator=(const Correspondence& other);

        Parameter<int> id{ "id", -1, this };
        Parameter<std::optional<Eigen::Vector3d>> volume{ "volume", std::nullopt, this };
        Parameter<std::optional<Eigen::Vector3d>> tracked{ "tracked", std::nullopt, this };
    };

    /// True when the list holds exactly one TrackingStream and exactly one volume image set; with a non-null
    /// out-pointer the algorithm is built on them.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    /// Subscribes to the stream's samples; the tracking target starts as the stream's main instrument and is set
    /// by hand from then on (the tracked point set does not follow the main instrument).
    LiveTrackingPointRegistrationAlgorithm(TrackingStream& stream, SharedImageSet& volume);
    ~LiveTrackingPointRegistrationAlgorithm() override;

    void configure(const Properties* properties) override;
    void configuration(Properties* properties) const override;

    /// Samples the calibrated tip of the tracking target from the latest samples (relative to the reference
    /// instrument when one is set), writes it to `point` (mm) and appends it to the tracked points, named as
    /// uncalibrated when the target has no calibration (PointsOnTrackingStream::addCapturedPoint). Returns its
    /// index, or empty (no point added, `point` untouched) when the target or the reference is not usable.
    std::optional<int> addLiveTrackingPoint(Eigen::Vector3d& point);
    /// Pairs an image point (volume image coordinates, mm) with the newest tracked point: `index` must be
    /// pointsOnTrackingStream().size() − 1, otherwise false. When that tracked point already has a partner, the
    /// partner is moved instead of a second one added; when earlier tracked points still lack partners, the point
    /// cannot be paired with the right partner: false, with a Warning.
    bool setVolumePoint(int index, const Eigen::Vector3d& point);

    /// Fits, judges, applies and records the registration (see the class comment). Status 0 when applied (also
    /// when judged improbable), else a ComputeStatus with an error in the log; statusMessage() says in every case
    /// what happened and what to do.
    void compute() override;
    /// Puts back what the registration in force replaced (see the class comment); a second call redoes it. False,
    /// with a Warning, when there is nothing to restore.
    bool restorePreviousRegistration();
    /// The volume's registration history; null before the first registration (or a workspace that held one).
    [[nodiscard]] const RegistrationHistoryComponent* registrationHistory() const;

    /// One record per index up to the larger of the two point counts.
    [[nodiscard]] std::vector<Correspondence> correspondences() const;
    /// Number of complete pairs, which is also the index the next pair gets: callers use it as the id of the
    /// correspondence to come, hence the name.
    [[nodiscard]] int correspondenceId() const;
    /// Removes every tracked and image point.
    void resetCorrespondences();
    /// T of the last successful compute; the zero matrix before.
    [[nodiscard]] Eigen::Matrix4d trackerToVolumeTransform() const { return m_trackerToVolume; }

    /// RMS fiducial registration error of the last successful compute, mm.
    [[nodiscard]] std::optional<double> registrationError() const;
    /// Predicted RMS target registration error (Fitzpatrick–West–Maurer) of the last successful compute at a
    /// point in the volume's image coordinates, with the fiducial localisation error estimated from the
    /// registration error, or `fle` (mm) when given. Empty before a successful compute.
    [[nodiscard]] std::optional<double> predictedTre(const Eigen::Vector3d& volumePoint,
                                                     std::optional<double> fle = std::nullopt) const;
    /// The same at the centroid of the image points used.
    [[nodiscard]] std::optional<double> predictedTreAtCentroid(std::optional<double> fle = std::nullopt) const;
    /// The judgement of the last successful compute, at the centroid of the image points; empty before one.
    [[nodiscard]] const std::optional<RegistrationQualityReport>& quality() const { return m_quality; }
    /// The current pairs judged with the current expected FLE, the target error predicted at `target_Image`
    /// (volume image coordinates; the centroid of the image points when empty). Empty for fewer than 3 pairs.
    [[nodiscard]] std::optional<RegistrationQualityReport> judge(
      const std::optional<Eigen::Vector3d>& target_Image = std::nullopt) const;

    [[nodiscard]] Parameter<RegistrationType>& registrationType() { return m_registrationType; }
    [[nodiscard]] const Parameter<RegistrationType>& registrationType() const { return m_registrationType; }
    /// The localisation error expected of one landmark (RMS 3D length, mm) that compute() judges the fit against.
    [[nodiscard]] Parameter<double>& expectedFle() { return m_expectedFle; }
    [[nodiscard]] TrackingStream& trackingStream() const { return m_stream; }
    [[nodiscard]] SharedImageSet& volume() const { return m_volume; }
    [[nodiscard]] PointsOnImage& pointsOnImage() { return m_pointsOnImage; }
    [[nodiscard]] PointsOnTrackingStream& pointsOnTrackingStream() { return m_pointsOnTrackingStream; }
    [[nodiscard]] PointCorrespondences& pointCorrespondences() { return m_pointCorrespondences; }

private:
    /// Stream listener (delivery thread): keeps the latest record of the tracking target and the reference.
    void onStreamData(const std::shared_ptr<const StreamData>& data);
    /// Registration type 2: writes the reference's calibration and places the stream at the volume's matrix.
    void adjustRelativeCalibration(const std::string& relativeId, const Eigen::Matrix4d& fitStreamToWorld,
                                   const Eigen::Matrix4d& T);
    /// Calibration of an instrument from the stream's component; identity when there is none.
    [[nodiscard]] Eigen::Matrix4d calibrationOf(const std::string& instrumentId) const;
    /// The expected FLE when it is a positive number; otherwise empty, with a Warning.
    [[nodiscard]] std::optional<double> validExpectedFle() const;
    /// Judges the fit of `pairs` pairs, keeps and logs the judgement, and returns the status sentence of the compute.
    [[nodiscard]] std::string reportQuality(int pairs);
    /// The values a registration of `type` changes, as they are now.
    [[nodiscard]] RegistrationHistoryComponent::State currentState(RegistrationType type,
                                                                   const std::optional<std::string>& relativeId) const;
    /// Writes the values a state holds.
    [[nodiscard]] RegistrationHistoryComponent::Provenance provenance(int pairs, double fre,
                                                                      RegistrationType type) const;

    Parameter<RegistrationType> m_registrationType{ "registrationType", GlobalTracking, this };
    Parameter<double> m_expectedFle{ "expectedFle", kDefaultExpectedFle, this };
    TrackingStream& m_stream;
    SharedImageSet& m_volume;
    Eigen::Matrix4d m_trackerToVolume = Eigen::Matrix4d::Zero();
    PointsOnImage m_pointsOnImage;
    PointsOnTrackingStream m_pointsOnTrackingStream;
    PointCorrespondences m_pointCorrespondences;
    TrackingInstrument m_trackedInstrument;
    TrackingInstrument m_relativeInstrument;
    std::mutex m_mutex; // guards m_trackedInstrument and m_relativeInstrument
    std::optional<PointCorrespondences::RigidFit> m_lastFit;
    std::optional<RegistrationQualityReport> m_quality;
};

} // namespace Kelvaros
