#include "visualization/ToolVisualizationAlgorithm.h"

#include <cmath>
#include <utility>
#include <vector>

#include <Eigen/LU>

#include "core/FileSystem.h"
#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/TrackedSharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "visualization/ToolPose.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "ToolVisualizationAlgorithm";
} // namespace

bool ToolVisualizationAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    if (data.isEmpty() || data.size() > 2)
        return false;
    auto* stream = dynamic_cast<TrackingStream*>(data.getFirst(Data::Kind::TrackingStream));
    if (!stream)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<ToolVisualizationAlgorithm>(stream, data.getImage());
    return true;
}

ToolVisualizationAlgorithm::ToolVisualizationAlgorithm(TrackingStream* stream, SharedImageSet* image) : m_stream(stream)
{
    if (image && m_stream)
    {
        // The tool is shown in the image's world: the stream's registration takes the image's placement. For a
        // tracked set that is the registration its frames were recorded with.
        if (auto* tracked = dynamic_cast<TrackedSharedImageSet*>(image))
        {
            if (TrackingSequence* sequence = tracked->tracking(-1))
                m_stream->setMatrix(sequence->registration());
            else
                Log::logf(Log::Warning, kCategory,
                          "Tracked image set '{}' has no tracking sequence; the registration of stream '{}' is left "
                          "unchanged.",
                          image->name(), m_stream->name());
        }
        else
            m_stream->setMatrix(image->matrix(-1));
    }
    if (m_stream)
        m_stream->signalStreamData.connect(this, &ToolVisualizationAlgorithm::onStreamData);
}

ToolVisualizationAlgorithm::~ToolVisualizationAlgorithm()
{
    // Waits for a running listener call; afterwards none starts, so the members below may go.
    disconnectAll();
}

void ToolVisualizationAlgorithm::configure(const Properties* properties)
{
    if (!properties)
        return;
    Algorithm::configure(properties);
    for (const char* key : { "trackingTargetName", "trackingTargetRelName" })
    {
        std::string name;
        if (properties->param(key, name) && !name.empty())
            Log::log(Log::Warning, "",
                     "Tracker " + name + " could not be selected with deprecated `" + key + "` parameter." +
                       " Use the `trackingTargetId` or `trackingTargetRelId` with the unique TrackerID::ID instead "
                       "to identify the tracking instruments.");
    }
    fixAbsolutePath(p_mesh);
}

void ToolVisualizationAlgorithm::compute()
{
    setStatus(Success);
}

void ToolVisualizationAlgorithm::fixAbsolutePath(Parameter<std::string>& path)
{
    const std::string value = path.value();
    if (value.empty() || value.front() == ':')
        return;
    if (!FileSystem::exists(value) || !FileSystem::isRelative(value))
        return;
    path.setValue(FileSystem::makeAbsolute(value)); // signals only when the text changed
}

Eigen::Matrix4d ToolVisualizationAlgorithm::calibrationOf(const std::string& instrumentId) const
{
    return m_stream ? InstrumentCalibrationDataComponent::matrixOf(*m_stream, instrumentId)
                    : Eigen::Matrix4d::Identity();
}

bool ToolVisualizationAlgorithm::poseValidLocked() const
{
    // NaN quality fails the comparison; a singular reference or calibration gives a non-finite matrix, which no
    // view can be placed at.
    return m_lastQuality > p_qualityThreshold.value() && m_toolMatrix.allFinite();
}

std::optional<Eigen::Matrix4d> ToolVisualizationAlgorithm::lastToolMatrix() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!poseValidLocked())
        return std::nullopt;
    return m_toolMatrix;
}

std::optional<Eigen::Matrix4d> ToolVisualizationAlgorithm::rawToolMatrix() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!poseValidLocked())
        return std::nullopt;
    return m_rawToolMatrix;
}

double ToolVisualizationAlgorithm::lastQuality() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastQuality;
}

ToolSnapshot ToolVisualizationAlgorithm::snapshot() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ToolSnapshot tool;
    if (poseValidLocked())
        tool.toolMatrix = m_toolMatrix;
    if (m_lastSampleTime)
        tool.sinceLastSampleUs =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - *m_lastSampleTime)
            .count();
    tool.calibration = m_targetCalibration;
    return tool;
}

std::unique_ptr<TrackingInstrumentFiducialsData> ToolVisualizationAlgorithm::lastRawFiducialData() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lastRawFiducials)
        return nullptr;
    return std::make_unique<TrackingInstrumentFiducialsData>(*m_lastRawFiducials);
}

bool ToolVisualizationAlgorithm::updateReference(const Eigen::Matrix4d& target)
{
    if (!m_stream)
    {
        Log::log(Log::Warning, kCategory, "Cannot update the registration: no tracking stream.");
        return false;
    }
    // Worked out under the lock, applied after it: setMatrix calls the stream's matrix listeners, which may read
    // this algorithm's pose, from any thread.
    const std::optional<Eigen::Matrix4d> registration = registrationFor(target);
    if (!registration)
        return false;
    m_stream->setMatrix(*registration);
    return true;
}

std::optional<Eigen::Matrix4d> ToolVisualizationAlgorithm::registrationFor(const Eigen::Matrix4d& target) const
{
    const std::string targetId = p_trackingTargetId.value();
    const std::string referenceId = p_trackingTargetRelId.value();
    const Eigen::Matrix4d targetCalibration = calibrationOf(targetId);
    const Eigen::Matrix4d referenceCalibration =
      referenceId.empty() ? Eigen::Matrix4d::Identity() : calibrationOf(referenceId);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!poseValidLocked())
    {
        Log::logf(Log::Warning, kCategory,
                  "Cannot update the registration: the tracking target '{}' has no valid pose.", targetId);
        return std::nullopt;
    }
    // The calibrations above belong to the instruments selected now; they only fit raw poses of the same ones.
    if (targetId != m_rawToolId || referenceId != m_rawReferenceId)
    {
        Log::logf(Log::Warning, kCategory,
                  "Cannot update the registration: the last pose was taken for target '{}' and reference '{}', not "
                  "for the selected target '{}' and reference '{}'; wait for the next sample.",
                  m_rawToolId, m_rawReferenceId, targetId, referenceId);
        return std::nullopt;
    }
    // The next sample gives S · C_r⁻¹ · R⁻¹ · T · C_t; with S = target · C_t⁻¹ · T⁻¹ · R · C_r every factor but
    // `target` cancels as long as neither instrument moved.
    const Eigen::Matrix4d registration =
      target * targetCalibration.inverse() * m_rawToolMatrix.inverse() * m_rawReferenceMatrix * referenceCalibration;
    if (!registration.allFinite())
    {
        Log::logf(Log::Warning, kCategory,
                  "Cannot update the registration: the pose or calibration of '{}' is not invertible.", targetId);
        return std::nullopt;
    }
    return registration;
}

void ToolVisualizationAlgorithm::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    if (!m_running)
        return;
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
    {
        Log::log(Log::Error, kCategory, "Tracking Stream data is null");
        return;
    }

    // Calibration lookups happen before the lock: the calibration component has its own.
    ToolPoseInputs inputs;
    inputs.targetId = p_trackingTargetId.value();
    inputs.referenceId = p_trackingTargetRelId.value();
    if (!inputs.targetId.empty())
        inputs.targetCalibration = calibrationOf(inputs.targetId);
    if (!inputs.referenceId.empty())
        inputs.referenceCalibration = calibrationOf(inputs.referenceId);
    inputs.registration = m_stream->matrix();
    const ToolPose pose = toolPoseOf(sample->instrumentList(), inputs);

    // Read with the calibration above, so that the pose and what is known of its calibration belong together.
    const ToolCalibrationKnowledge targetKnowledge =
      inputs.targetId.empty() ? ToolCalibrationKnowledge{} : calibrationKnowledge(*m_stream, inputs.targetId);

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastSampleTime = std::chrono::steady_clock::now();
        m_targetCalibration = targetKnowledge;
        m_rawToolMatrix = pose.rawTarget;
        m_rawReferenceMatrix = pose.rawReference;
        m_rawToolId = inputs.targetId;
        m_rawReferenceId = inputs.referenceId;
        m_toolMatrix = pose.toolMatrix;
        m_lastQuality = pose.quality;
        const Eigen::Matrix4d& trackerToWorld = pose.trackerToWorld;

        const auto* fiducials = sample->components().get<TrackingInstrumentFiducialsData>();
        if (fiducials && !fiducials->empty())
        {
            auto copy = std::make_unique<TrackingInstrumentFiducialsData>(*fiducials);
            for (Eigen::Vector3d& point : copy->points())
                point = (trackerToWorld * point.homogeneous()).head<3>();
            m_lastRawFiducials = std::move(copy);
        }
        else
            m_lastRawFiducials.reset();
    }
    signalToolUpdated.emitSignal();
}

} // namespace Kelvaros
