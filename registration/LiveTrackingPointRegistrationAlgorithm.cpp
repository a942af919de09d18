#include "registration/LiveTrackingPointRegistrationAlgorithm.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

#include <Eigen/LU>
#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/Math.h"
#include "lib/numerics/RigidRegistration.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "registration/RegistrationRestore.h"
#include "registration/StreamAndVolume.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "LiveTrackingPointRegistrationAlgorithm";
// The result messages of the two volume-moving types use this shorter category (log filters select on it).
const char* const kResultCategory = "LiveTrackingPointRegistration";

/// An empty id selects no instrument, not one whose id happens to be empty.
bool isInstrument(const TrackingInstrument& instrument, const std::string& id)
{
    return !id.empty() && instrument.ID() == id;
}

/// The selected instrument, with its tracked flag set and a quality of at least 0.8 (NaN fails).
bool usable(const TrackingInstrument& instrument, const std::string& id)
{
    return isInstrument(instrument, id) && instrument.tracked && instrument.quality >= 0.8;
}

/// Logs a message followed by a line feed and a matrix in Eigen's default format, if the log takes it.
void logWithMatrix(const char* category, const std::string& text, const Eigen::Matrix4d& matrix)
{
    if (!Log::isAccepted(Log::Info, category))
        return;
    std::ostringstream message;
    message << text << "\n" << matrix;
    Log::log(Log::Info, category, message.str());
}
} // namespace

LiveTrackingPointRegistrationAlgorithm::Correspondence::Correspondence() = default;

LiveTrackingPointRegistrationAlgorithm::Correspondence::Correspondence(const Correspondence& other) : Configurable()
{
    *this = other;
}

LiveTrackingPointRegistrationAlgorithm::Correspondence&
LiveTrackingPointRegistrationAlgorithm::Correspondence::operator=(const Correspondence& other)
{
    id.setValue(other.id.value());
    volume.setValue(other.volume.value());
    tracked.setValue(other.tracked.value());
    return *this;
}

bool LiveTrackingPointRegistrationAlgorithm::createCompatible(const DataList& data,
                                                              std::unique_ptr<Algorithm>* algorithm)
{
    const auto [stream, volume] = streamAndVolume(data);
    if (!stream)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<LiveTrackingPointRegistrationAlgorithm>(*stream, *volume);
    return true;
}

LiveTrackingPointRegistrationAlgorithm::LiveTrackingPointRegistrationAlgorithm(TrackingStream& stream,
                                                                               SharedImageSet& volume)
  : m_stream(stream),
    m_volume(volume),
    m_pointsOnImage(volume),
    m_pointsOnTrackingStream(stream),
    m_pointCorrespondences(m_pointsOnTrackingStream, m_pointsOnImage)
{
    m_stream.signalStreamData.connect(this, &LiveTrackingPointRegistrationAlgorithm::onStreamData);
    m_pointsOnTrackingStream.setUseMainInstrument(false);
}

LiveTrackingPointRegistrationAlgorithm::~LiveTrackingPointRegistrationAlgorithm()
{
    // The stream listener uses the members below; once this returns it is never entered again.
    disconnectAll();
}

void LiveTrackingPointRegistrationAlgorithm::configure(const Properties* properties)
{
    if (!properties)
        return;
    Algorithm::configure(properties);
    if (const Properties* pairs = properties->subProperties("pointCorrespondences"))
    {
        m_pointsOnTrackingStream.configure(pairs->subProperties("pointsFirst"));
        m_pointsOnImage.configure(pairs->subProperties("pointsSecond"));
    }
}

void LiveTrackingPointRegistrationAlgorithm::configuration(Properties* properties) const
{
    if (!properties)
        return;
    Algorithm::configuration(properties);
    Properties* pairs = properties->addSubProperties("pointCorrespondences");
    m_pointsOnTrackingStream.configuration(pairs->addSubProperties("pointsFirst"));
    m_pointsOnImage.configuration(pairs->addSubProperties("pointsSecond"));
}

void LiveTrackingPointRegistrationAlgorithm::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!tracking || tracking->instrumentList().empty())
        return;
    const std::string trackerId = m_pointsOnTrackingStream.trackerId();
    const std::optional<std::string> relativeId = m_pointsOnTrackingStream.relativeTrackerId();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const TrackingInstrument& instrument : tracking->instrumentList())
    {
        if (isInstrument(instrument, trackerId))
            m_trackedInstrument = instrument;
        if (relativeId && isInstrument(instrument, *relativeId))
            m_relativeInstrument = instrument;
    }
}

Eigen::Matrix4d LiveTrackingPointRegistrationAlgorithm::calibrationOf(const std::string& instrumentId) const
{
    return InstrumentCalibrationDataComponent::matrixOf(m_stream, instrumentId);
}

std::optional<int> LiveTrackingPointRegistrationAlgorithm::addLiveTrackingPoint(Eigen::Vector3d& point)
{
    const std::string trackerId = m_pointsOnTrackingStream.trackerId();
    const std::optional<std::string> relativeId = m_pointsOnTrackingStream.relativeTrackerId();
    Eigen::Vector3d tip;
    bool calibrated = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A record kept from before the user chose another instrument is not a sample of the chosen one.
        if (!usable(m_trackedInstrument, trackerId))
            return std::nullopt;
        const Eigen::Matrix4d calibration = calibrationOf(m_trackedInstrument.ID());
        calibrated = PointsOnTrackingStream::locatesTip(calibration);
        Eigen::Matrix4d tool = m_trackedInstrument.matrix * calibration;
        if (relativeId)
        {
            if (!usable(m_relativeInstrument, *relativeId))
                return std::nullopt;
            tool = m_relativeInstrument.matrix.inverse() * tool;
        }
        tip = tool.block<3, 1>(0, 3);
    }
    point = tip;
    m_pointsOnTrackingStream.addCapturedPoint(tip, calibrated);
    return m_pointsOnTrackingStream.size() - 1;
}

bool LiveTrackingPointRegistrationAlgorithm::setVolumePoint(int index, const Eigen::Vector3d& point)
{
    const int tracked = m_pointsOnTrackingStream.size();
    if (index < 0 || index != tracked - 1)
        return false;
    const int images = m_pointsOnImage.size();
    if (images == index)
    {
        m_pointsOnImage.addImagePoint(point, 0);
        return true;
    }
    if (images == index + 1)
    {
        m_pointsOnImage.setImagePoint(point, index);
        return true;
    }
    Log::logf(Log::Warning, kCategory,
              "setVolumePoint: cannot pair an image point with tracked point {}: there are {} image points for {} "
              "tracked points",
              index, images, tracked);
    return false;
}

void LiveTrackingPointRegistrationAlgorithm::compute()
{
    setStatus(Unknown);
    const int pairs = m_pointCorrespondences.size();
    if (pairs < 3)
    {
        Log::log(Log::Error, kCategory, "Need at least 3 point correspondeces for registration");
        setStatus(StatusUnusablePoints,
                  fmt::format("Not registered: {} complete pair{}, and at least 3 are needed. Add pairs (an image "
                              "point and a tracked point each) and press Register again.",
                              pairs, pairs == 1 ? "" : "s"));
        return;
    }

    const RegistrationType type = m_registrationType.value();
    if (type != GlobalTracking && type != AdjustVolumeRegistration && type != AdjustRelativeCalibration)
    {
        Log::logf(Log::Error, kCategory, "Unknown registration type {}; nothing was changed", int(type));
        setStatus(StatusInvalidRegistrationType,
                  fmt::format("Not registered: the registration type {} is unknown. Choose a registration type and "
                              "press Register again.",
                              int(type)));
        return;
    }
    const std::optional<std::string> relativeId = m_pointsOnTrackingStream.relativeTrackerId();
    if (type != GlobalTracking && !relativeId)
    {
        Log::log(Log::Error, kCategory,
                 "This registration type adjusts a relative tracker, but none is selected; nothing was changed");
        setStatus(StatusNoRelativeTracker,
                  "Not registered: this registration type adjusts the instrument the points are relative to, but "
                  "none is chosen. Choose one under \"Relative to\", or register with global tracking.");
        return;
    }

    // The fit places the tracked points in world space through the stream's matrix as it is now.
    const Eigen::Matrix4d fitStreamToWorld = m_stream.matrix();
    const auto fit = m_pointCorrespondences.fit();
    if (!fit)
    {
        Log::log(Log::Error, kCategory,
                 "Registration failed: the point pairs do not determine a rigid transform (coincident or collinear "
                 "points); nothing was changed");
        setStatus(StatusUnusablePoints,
                  "Not registered: the points lie on one line (or on top of each other), which leaves the rotation "
                  "about that line open. Add a pair off that line and press Register again.");
        return;
    }
    const Eigen::Matrix4d& T = fit->transform;
    m_trackerToVolume = T;
    m_lastFit = fit;

    if (Log::isAccepted(Log::Info, kCategory))
    {
        std::ostringstream message;
        message << "Registration error: " << fit->fre << " mm";
        Log::log(Log::Info, kCategory, message.str());
    }
    const std::string message = reportQuality(pairs);

    const RegistrationHistoryComponent::State before = currentState(type, relativeId);
    // The log texts below keep "successfull" on purpose: scripts that watch the log match them as they are.
    switch (type)
    {
        case GlobalTracking:
            m_volume.setMatrix(m_volume.matrix() * T);
            logWithMatrix(kResultCategory, "Global registration successfull. Image registration was updated: T = ", T);
            break;
        case AdjustVolumeRegistration:
            m_volume.setMatrix(m_volume.matrix() * T);
            logWithMatrix(kResultCategory,
                          "Relative registration successfull. Image registration was updated: T = ", T);
            m_stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
              *relativeId, Eigen::Matrix4d::Identity(), 0.0);
            Log::log(Log::Info, kResultCategory, "Calibration of relative tracker reset to unity.");
            break;
        case AdjustRelativeCalibration:
            adjustRelativeCalibration(*relativeId, fitStreamToWorld, T);
            break;
    }
    m_volume.components().getOrAdd<RegistrationHistoryComponent>().record(provenance(pairs, fit->fre, type), before,
                                                                          currentState(type, relativeId));
    setStatus(Success, message);
    signalOutputChanged.emitSignal();
}

std::optional<RegistrationQualityReport> LiveTrackingPointRegistrationAlgorithm::judge(
  const std::optional<Eigen::Vector3d>& target_Image) const
{
    const auto pairs = long(m_pointCorrespondences.size());
    if (pairs < 3)
        return std::nullopt;
    const auto& trackedPoints = m_pointsOnTrackingStream.allPoints();
    const auto& imagePoints = m_pointsOnImage.imagePoints();
    const std::vector<Eigen::Vector3d> tracked(trackedPoints.begin(), trackedPoints.begin() + pairs);
    const std::vector<Eigen::Vector3d> image(imagePoints.begin(), imagePoints.begin() + pairs);
    return RegistrationQuality::evaluate(tracked, image, validExpectedFle(),
                                         target_Image.value_or(RegistrationQuality::centroid(image)));
}

std::optional<double> LiveTrackingPointRegistrationAlgorithm::validExpectedFle() const
{
    const double fle = m_expectedFle.value();
    if (fle > 0 && std::isfinite(fle))
        return fle;
    Log::logf(Log::Warning, kCategory,
              "The expected localisation error ({} mm) is not a positive number; the registration is not judged", fle);
    return std::nullopt;
}

std::string LiveTrackingPointRegistrationAlgorithm::reportQuality(int pairs)
{
    m_quality = judge();
    const bool improbable = m_quality && m_quality->verdict == RegistrationVerdict::Improbable;
    if (m_quality)
        Log::log(improbable ? Log::Warning : Log::Info, kCategory,
                 "Registration quality: " +
                   RegistrationQuality::describe(*m_quality, "the centroid of the landmarks").joined());
    std::string message =
      improbable
        ? fmt::format("Registered with {} pairs and applied, but the fit is improbable (FRE {:.2f} mm): "
                      "check the pairs the quality report names and register again, or restore the "
                      "previous registration.",
                      pairs, m_quality->fre)
        : fmt::format("Registered with {} pairs and applied; \"Restore previous registration\" undoes it.", pairs);
    const int uncalibrated = m_pointsOnTrackingStream.uncalibratedCount(pairs);
    if (uncalibrated > 0)
    {
        // Information, not a warning: some trackers report a tool's tip as its origin, and then no calibration is
        // right. The panel warned before the capture; the sentence stays with the status.
        const std::string note =
          fmt::format("{} of the tracked points were captured without a tip calibration (at the origin of the "
                      "pointer's marker frame): unless the tracker reports the tip itself, calibrate the pointer and "
                      "capture them again.",
                      uncalibrated);
        Log::log(Log::Info, kCategory, note);
        message += " " + note;
    }
    return message;
}

RegistrationHistoryComponent::Provenance LiveTrackingPointRegistrationAlgorithm::provenance(int pairs, double fre,
                                                                                            RegistrationType type) const
{
    RegistrationHistoryComponent::Provenance p;
    p.dateTime = RegistrationHistoryComponent::nowIso8601();
    p.pairCount = pairs;
    p.freMm = fre;
    p.registrationType = int(type);
    p.uncalibratedPointCount = m_pointsOnTrackingStream.uncalibratedCount(pairs);
    p.verdict = "not judged";
    p.fleUsedMm = RigidRegistration::estimateFle(fre, size_t(pairs));
    p.fleSource = "estimated from the FRE";
    if (!m_quality)
        return p;
    static const char* const verdicts[] = { "plausible", "improbable", "not judged" };
    p.verdict = verdicts[int(m_quality->verdict)];
    p.verdictText = RegistrationQuality::describe(*m_quality, {}).verdict;
    p.expectedFleMm = m_quality->expectedFle;
    p.fleUsedMm = m_quality->fleUsed;
    if (m_quality->fleSource == FleSource::Expected)
        p.fleSource = "expected";
    if (std::isfinite(m_quality->treAtTarget))
        p.predictedTreMm = m_quality->treAtTarget;
    return p;
}

RegistrationHistoryComponent::State LiveTrackingPointRegistrationAlgorithm::currentState(
  RegistrationType type, const std::optional<std::string>& relativeId) const
{
    RegistrationHistoryComponent::State state;
    if (type != AdjustRelativeCalibration)
        state.volumeMatrix = m_volume.matrix();
    if (type == AdjustRelativeCalibration)
        state.streamMatrix = m_stream.matrix();
    if (type != GlobalTracking && relativeId)
    {
        auto& calibration = state.calibration.emplace();
        calibration.instrumentId = *relativeId;
        if (const auto* component = m_stream.components().get<InstrumentCalibrationDataComponent>())
            if (const auto stored = component->calibration(*relativeId))
            {
                calibration.matrix = stored->matrix;
                calibration.value = stored->value;
            }
    }
    return state;
}

bool LiveTrackingPointRegistrationAlgorithm::restorePreviousRegistration()
{
    if (!Kelvaros::restorePreviousRegistration(m_volume, m_stream, kCategory))
        return false;
    signalOutputChanged.emitSignal();
    return true;
}

const RegistrationHistoryComponent* LiveTrackingPointRegistrationAlgorithm::registrationHistory() const
{
    return m_volume.components().get<RegistrationHistoryComponent>();
}

void LiveTrackingPointRegistrationAlgorithm::adjustRelativeCalibration(const std::string& relativeId,
                                                                       const Eigen::Matrix4d& fitStreamToWorld,
                                                                       const Eigen::Matrix4d& T)
{
    // The fit gives V T p ≈ S q for image points p and tracked points q (reference frame), so S⁻¹ V T maps image
    // coordinates into the reference frame, whatever S was. Every tool visualization draws a tool relative to the
    // reference at S' C⁻¹ q with S' the stream's matrix when it draws; with C = S⁻¹ V T that is the image point's
    // world position V p exactly when S' = V. The views built without the image do not set S' themselves, so the
    // stream takes the volume's matrix here.
    const Eigen::Matrix4d volumeToWorld = m_volume.matrix();
    const Eigen::Matrix4d calibration = fitStreamToWorld.inverse() * volumeToWorld * T;
    m_stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(relativeId, calibration, 0.0);
    m_stream.setMatrix(volumeToWorld);
    // "successfull" is spelt so on purpose: scripts that watch the log match the text as it is.
    logWithMatrix(kCategory,
                  "Relative registration successfull. Image registration is kept unchanged. Calibration of relative "
                  "tracker is set to C=",
                  calibration);
    logWithMatrix(kCategory,
                  "The registration of the tracking stream is set to the volume's matrix, so that every view draws "
                  "the tool relative to the relative tracker on the volume: S = ",
                  volumeToWorld);
}

std::vector<LiveTrackingPointRegistrationAlgorithm::Correspondence>
LiveTrackingPointRegistrationAlgorithm::correspondences() const
{
    const auto& tracked = m_pointsOnTrackingStream.allPoints();
    const auto& images = m_pointsOnImage.allPoints();
    const size_t n = std::max(tracked.size(), images.size());
    const Eigen::Matrix4d fromWorld = m_volume.matrixFromWorld();
    std::vector<Correspondence> result(n);
    for (size_t i = 0; i < n; ++i)
    {
        result[i].id.setValue(int(i));
        if (i < tracked.size())
            result[i].tracked.setValue(tracked[i]);
        if (i < images.size())
            result[i].volume.setValue(Math::transformPointAffine(fromWorld, images[i]));
    }
    return result;
}

int LiveTrackingPointRegistrationAlgorithm::correspondenceId() const
{
    return m_pointCorrespondences.size();
}

void LiveTrackingPointRegistrationAlgorithm::resetCorrespondences()
{
    m_pointCorrespondences.clear();
}

std::optional<double> LiveTrackingPointRegistrationAlgorithm::registrationError() const
{
    return m_lastFit ? std::optional<double>(m_lastFit->fre) : std::nullopt;
}

std::optional<double> LiveTrackingPointRegistrationAlgorithm::predictedTre(const Eigen::Vector3d& volumePoint,
                                                                           std::optional<double> fle) const
{
    return m_lastFit ? m_lastFit->predictedTre(volumePoint, fle) : std::nullopt;
}

std::optional<double> LiveTrackingPointRegistrationAlgorithm::predictedTreAtCentroid(std::optional<double> fle) const
{
    return m_lastFit ? m_lastFit->predictedTreAtCentroid(fle) : std::nullopt;
}

} // namespace Kelvaros
