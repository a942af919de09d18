#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/Log.h"
#include "lib/DataList.h"
#include "lib/OwningDataList.h"
#include "lib/numerics/Pose.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamRecorder.h"

#include "calibration/ToolCalibrationAlgorithm.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "TrackingToolCalibrationWizardAlgorithm";
constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;

/// Writes a saved calibration back with its provenance; an instrument that had none loses the one the wizard gave
/// it.
void restore(InstrumentCalibrationDataComponent& component, const std::string& id,
             const std::optional<InstrumentCalibrationDataComponent::Entry>& saved)
{
    if (saved)
        component.setCalibration(id, saved->calibration, saved->provenance);
    else
        component.removeCalibration(id);
}

/// The orientation of a pose alone: the motion checks compare how far the tool turned, not where it went.
Eigen::Matrix4d rotationPart(const Eigen::Matrix4d& pose)
{
    Eigen::Matrix4d rotation = Eigen::Matrix4d::Identity();
    rotation.topLeftCorner<3, 3>() = pose.topLeftCorner<3, 3>();
    return rotation;
}
} // namespace

TrackingToolCalibrationWizardAlgorithm::CalibrationData::CalibrationData() = default;
TrackingToolCalibrationWizardAlgorithm::CalibrationData::CalibrationData(CalibrationData&&) noexcept = default;
TrackingToolCalibrationWizardAlgorithm::CalibrationData&
TrackingToolCalibrationWizardAlgorithm::CalibrationData::operator=(CalibrationData&&) noexcept = default;
TrackingToolCalibrationWizardAlgorithm::CalibrationData::~CalibrationData() = default;

TrackingToolCalibrationWizardAlgorithm::TrackingToolCalibrationWizardAlgorithm(TrackingStream* stream)
  : m_trackingStream(stream), m_recorder(std::make_unique<TrackingStreamRecorder>(stream))
{
    m_recorder->setRecordAllInstruments(false);
}

TrackingToolCalibrationWizardAlgorithm::~TrackingToolCalibrationWizardAlgorithm()
{
    reset();
}

bool TrackingToolCalibrationWizardAlgorithm::createCompatible(const DataList& data,
                                                              std::unique_ptr<Algorithm>* algorithm)
{
    if (data.size() != 1)
        return false;
    auto* stream = dynamic_cast<TrackingStream*>(data[0]);
    if (!stream)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<TrackingToolCalibrationWizardAlgorithm>(stream);
    return true;
}

bool TrackingToolCalibrationWizardAlgorithm::setInstrument(std::string id)
{
    const std::string current = instrument();
    // reset() restores the calibration of the instrument still stored, so it runs before the new id is.
    if (id != current && !current.empty())
        reset();
    std::lock_guard<std::mutex> lock(m_instrumentMutex);
    m_instrument = std::move(id);
    return true;
}

std::string TrackingToolCalibrationWizardAlgorithm::instrument() const
{
    std::lock_guard<std::mutex> lock(m_instrumentMutex);
    return m_instrument;
}

void TrackingToolCalibrationWizardAlgorithm::startRecording()
{
    m_recorder->setRecordingInstrument(instrument());
    m_recorder->start();
}

std::unique_ptr<TrackingSequence> TrackingToolCalibrationWizardAlgorithm::stopRecording()
{
    m_recorder->stop();
    std::vector<std::unique_ptr<Data>> recorded = m_recorder->takeOutput().release();
    for (std::unique_ptr<Data>& data : recorded)
    {
        if (dynamic_cast<TrackingSequence*>(data.get()))
            return std::unique_ptr<TrackingSequence>(static_cast<TrackingSequence*>(data.release()));
    }
    return nullptr;
}

bool TrackingToolCalibrationWizardAlgorithm::isRecording() const
{
    return m_recorder->isRecording();
}

bool TrackingToolCalibrationWizardAlgorithm::setPivoting(std::unique_ptr<TrackingSequence> sequence)
{
    const int count = sequence ? sequence->size() : 0;
    if (count < kMinPivotingSamples)
        return refuse(fmt::format("The recording holds {} poses of the tool; pivoting needs at least {}. Keep the "
                                  "tool's markers in view of the tracker and record for longer.",
                                  count, kMinPivotingSamples));

    // 50 samples spread over the whole recording; summing the orientation steps between them measures how far
    // the tool was tilted about its tip in total, whatever the recording's rate.
    const double step = count / double(kMinPivotingSamples);
    auto orientation = [&](int i) { return rotationPart(sequence->matrix(int(i * step))); };
    double sum = 0.0;
    Eigen::Matrix4d previous = orientation(0);
    for (int i = 1; i < kMinPivotingSamples; ++i)
    {
        const Eigen::Matrix4d current = orientation(i);
        sum += Pose::geodesicDistance(previous, current);
        previous = current;
    }
    Log::logf(Log::Debug, kCategory, "Pivoting sequence: Cumulated geodesic distance {}", sum);

    if (sum < kMinPivotingMotion)
        return refuse(fmt::format("The tool's orientation changed by {:.0f}° in all over the recording; pivoting "
                                  "needs at least {:.0f}°. Keep the tip in a dimple and tilt the tool further, in "
                                  "several directions, while recording.",
                                  sum * kDegreesPerRadian, kMinPivotingMotion * kDegreesPerRadian));
    m_calibrationData.pivoting = std::move(sequence);
    m_refusal.clear();
    return true;
}

bool TrackingToolCalibrationWizardAlgorithm::setRotation(std::unique_ptr<TrackingSequence> sequence)
{
    const int count = sequence ? sequence->size() : 0;
    if (count < 2)
        return refuse(fmt::format("The recording holds {} pose{} of the tool; the rotation needs at least 2. Keep the "
                                  "tool's markers in view of the tracker and record for longer.",
                                  count, count == 1 ? "" : "s"));

    const double distance =
      Pose::geodesicDistance(rotationPart(sequence->matrix(0)), rotationPart(sequence->matrix(count - 1)));
    Log::logf(Log::Debug, kCategory, "Rotation sequence: Geodesic distance {}", distance);

    if (distance < kMinRotation)
        return refuse(fmt::format("The tool's last pose is turned by only {:.0f}° from its first; the rotation step "
                                  "needs at least {:.0f}° between them. Keep the tip in a dimple and turn the tool "
                                  "about its own axis by half to three quarters of a turn, or by one and a half "
                                  "turns: a whole turn brings it back to where it started.",
                                  distance * kDegreesPerRadian, kMinRotation * kDegreesPerRadian));
    m_calibrationData.rotation = std::move(sequence);
    m_refusal.clear();
    return true;
}

bool TrackingToolCalibrationWizardAlgorithm::refuse(std::string reason)
{
    Log::log(Log::Warning, kCategory, reason);
    m_refusal = std::move(reason);
    return false;
}

InstrumentCalibrationDataComponent& TrackingToolCalibrationWizardAlgorithm::calibrationComponent()
{
    return m_trackingStream->components().getOrAdd<InstrumentCalibrationDataComponent>();
}

void TrackingToolCalibrationWizardAlgorithm::compute()
{
    const std::string id = instrument();
    if (id.empty())
        return;

    InstrumentCalibrationDataComponent& component = calibrationComponent();
    if (!m_backup)
        m_backup = component.entry(id);

    ToolCalibrationAlgorithm calibration(m_calibrationData.pivoting.get(), m_calibrationData.rotation.get());
    // Arms the flip: compute() resets the sequences' calibrations and ends with the 180-degree turn.
    if (m_calibrationData.flip)
        calibration.rotateCalibration180();
    calibration.compute();
    setStatus(calibration.status(), calibration.statusMessage());

    if (calibration.status() != Success)
    {
        // A failed run yields no calibration to write, and nothing that would pass for one: the instrument keeps
        // what it had before the wizard.
        Log::logf(Log::Error, kCategory,
                  "Calibration of instrument '{}' failed (status {}); its earlier calibration is kept. Record again.",
                  id, calibration.status());
        m_origin.reset();
        m_upAxisWorld.reset();
        restore(component, id, *m_backup);
        return;
    }
    m_origin = calibration.origin();
    m_upAxisWorld = calibration.directionUp();
    component.setCalibration(id, { calibration.calibration(), 0.0 }, calibration.provenance());
}

void TrackingToolCalibrationWizardAlgorithm::accept()
{
    if (!m_backup)
        return;
    // Without an earlier calibration an older previous entry would not be "the one before" the accepted one.
    calibrationComponent().setPrevious(instrument(), *m_backup);
    m_backup.reset();
}

void TrackingToolCalibrationWizardAlgorithm::reset()
{
    if (m_backup)
    {
        restore(calibrationComponent(), instrument(), *m_backup);
        m_backup.reset();
    }
    m_calibrationData = CalibrationData();
}

} // namespace Kelvaros
