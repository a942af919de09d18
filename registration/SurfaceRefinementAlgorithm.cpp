#include "registration/SurfaceRefinementAlgorithm.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/Log.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/MeshClosestPoint.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "imageio/VolumeSurface.h"
#include "registration/PointsOnTrackingStream.h"
#include "registration/RegistrationRestore.h"
#include "registration/StreamAndVolume.h"

namespace Kelvaros
{
namespace
{
const char* const kCategory = "SurfaceRefinementAlgorithm";

/// The surface cut in world coordinates, moved into the volume's image coordinates.
Mesh toImage(const Mesh& world, const Eigen::Matrix4d& imageToWorld)
{
    const Eigen::Affine3d worldToImage(imageToWorld.inverse());
    std::vector<Eigen::Vector3d> vertices;
    vertices.reserve(world.vertices().size());
    for (const Eigen::Vector3d& vertex : world.vertices())
        vertices.push_back(worldToImage * vertex);
    Mesh image(std::move(vertices), world.faces());
    std::vector<Eigen::Vector3d> normals;
    normals.reserve(world.vertexNormals().size());
    for (const Eigen::Vector3d& normal : world.vertexNormals())
        normals.push_back((worldToImage.linear() * normal).normalized());
    // One normal per vertex by construction, so the count always matches.
    (void)image.setVertexNormals(std::move(normals));
    return image;
}
} // namespace

bool SurfaceRefinementAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    const auto [stream, volume] = streamAndVolume(data);
    if (!stream)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<SurfaceRefinementAlgorithm>(*stream, *volume);
    return true;
}

SurfaceRefinementAlgorithm::SurfaceRefinementAlgorithm(TrackingStream& stream, SharedImageSet& volume)
  : m_stream(stream), m_volume(volume)
{
    const std::vector<TrackingInstrument> instruments = stream.instruments();
    tool.setValue(!stream.mainInstrumentId().empty() ? stream.mainInstrumentId()
                  : instruments.empty()              ? std::string()
                                                     : instruments.front().ID());
    m_toolId = tool.value();
    signalParametersChanged.connect(this,
                                    [this](ParameterBase*)
                                    {
                                        std::lock_guard<std::mutex> lock(m_mutex);
                                        m_toolId = tool.value();
                                    });
    m_stream.signalStreamData.connect(this, &SurfaceRefinementAlgorithm::onStreamData);
}

SurfaceRefinementAlgorithm::~SurfaceRefinementAlgorithm()
{
    // The stream listener uses the members below; once this returns it is never entered again.
    disconnectAll();
}

bool SurfaceRefinementAlgorithm::extractSurface()
{
    std::string error;
    const std::optional<Mesh> world = VolumeSurface::extract(m_volume, float(threshold.value()), &error);
    if (!world)
    {
        setStatus(StatusNoSurface, "No surface: " + error);
        return false;
    }
    auto surface = std::make_shared<const Mesh>(toImage(*world, m_volume.matrix()));
    m_surfaceIndex = std::make_unique<MeshClosestPoint>(*surface);
    m_surface = std::move(surface);
    setStatus(Unknown, fmt::format("Surface at {:g}: {} triangles. Sweep the pointer over it, then refine.",
                                   threshold.value(), m_surface->faces().size()));
    signalOutputChanged.emitSignal();
    return true;
}

void SurfaceRefinementAlgorithm::setRecording(bool recording)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = recording && m_sweep.size() < kMaximumPoints;
}

bool SurfaceRefinementAlgorithm::isRecording() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recording;
}

std::vector<Eigen::Vector3d> SurfaceRefinementAlgorithm::sweep() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sweep;
}

void SurfaceRefinementAlgorithm::clearSweep()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sweep.clear();
    m_uncalibratedSamples = 0;
}

int64_t SurfaceRefinementAlgorithm::uncalibratedSamples() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uncalibratedSamples;
}

void SurfaceRefinementAlgorithm::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!tracking)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_recording)
        return;
    for (const TrackingInstrument& instrument : tracking->instrumentList())
    {
        // The capture rule of the landmark registration: a tip from a poor or missing measurement is no surface.
        if (instrument.ID() != m_toolId || !instrument.tracked || !(instrument.quality >= 0.8))
            continue;
        const Eigen::Matrix4d calibration = InstrumentCalibrationDataComponent::matrixOf(m_stream, m_toolId);
        // Without a tip calibration the point would be the markers' origin, some 150 mm off the skin.
        if (!PointsOnTrackingStream::locatesTip(calibration))
        {
            ++m_uncalibratedSamples;
            return;
        }
        const Eigen::Matrix4d tip = m_stream.matrix() * instrument.matrix * calibration;
        const Eigen::Vector3d point = tip.block<3, 1>(0, 3);
        if (!m_sweep.empty() && (point - m_sweep.back()).norm() < kMinimumSpacing)
            return;
        m_sweep.push_back(point);
        if (m_sweep.size() < kMaximumPoints)
            return;
        m_recording = false;
        Log::logf(Log::Warning, kCategory, "The sweep stopped at {} points; refine with them or clear them",
                  kMaximumPoints);
        return;
    }
}

std::size_t SurfaceRefinementAlgorithm::pointsNearSurface(const std::vector<Eigen::Vector3d>& points,
                                                          const Eigen::Isometry3d& worldToImage) const
{
    // A box test, not the closest-point search: far from a fine surface a search costs milliseconds a point, and a
    // sweep recorded before any registration lies a metre away.
    Eigen::AlignedBox3d box;
    for (const Eigen::Vector3d& vertex : m_surface->vertices())
        box.extend(vertex);
    box.min().array() -= kNearSurface;
    box.max().array() += kNearSurface;
    return std::size_t(std::count_if(points.begin(), points.end(),
                                     [&](const Eigen::Vector3d& point) { return box.contains(worldToImage * point); }));
}

void SurfaceRefinementAlgorithm::compute()
{
    if (!m_surfaceIndex)
    {
        setStatus(StatusNoSurface, "No surface yet: extract it from the volume first.");
        return;
    }
    const std::vector<Eigen::Vector3d> points = sweep();
    const Eigen::Matrix4d before = m_volume.matrix();
    const Eigen::Isometry3d worldToImage(before.inverse());
    if (const std::size_t near = pointsNearSurface(points, worldToImage); near * 2 < points.size())
    {
        m_lastFit.reset();
        m_changeAtCentre.reset();
        setStatus(StatusUntrusted,
                  fmt::format("Only {} of the {} swept points lie near the surface as the volume is registered now: "
                              "a refinement starts from a registration, so register the volume with landmarks first "
                              "(or check the pointer and the threshold). The registration was not changed.",
                              near, points.size()));
        signalOutputChanged.emitSignal();
        return;
    }
    SurfaceIcp::Result fit = SurfaceIcp::refine(points, *m_surfaceIndex, worldToImage);
    m_lastFit = fit;
    m_changeAtCentre.reset();
    const bool onlyFree = fit.unconstrained && fit.converged && fit.rmsInliersAfter <= fit.rmsInliersBefore * 1.01;
    if (!fit.error.empty() && !onlyFree)
    {
        const int status = points.size() < SurfaceIcp::Options().minimumPoints ? StatusTooFewPoints : StatusUntrusted;
        setStatus(status, fit.error + " The registration was not changed.");
        signalOutputChanged.emitSignal();
        return;
    }
    RegistrationHistoryComponent::State was, now;
    was.volumeMatrix = before;
    now.volumeMatrix = fit.trackerToImage.inverse().matrix();
    m_volume.setMatrix(*now.volumeMatrix);
    m_changeAtCentre = (*now.volumeMatrix * Eigen::Vector4d(0, 0, 0, 1) - before * Eigen::Vector4d(0, 0, 0, 1)).norm();
    m_volume.components().getOrAdd<RegistrationHistoryComponent>().record(provenance(fit), was, now);
    setStatus(Success, fit.error.empty() ? "Refined and applied." : fit.error + " Applied for what the surface fixes.");
    signalOutputChanged.emitSignal();
}

RegistrationHistoryComponent::Provenance SurfaceRefinementAlgorithm::provenance(const SurfaceIcp::Result& fit) const
{
    RegistrationHistoryComponent::Provenance p;
    p.dateTime = RegistrationHistoryComponent::nowIso8601();
    p.method = RegistrationHistoryComponent::kSurfaceMethod;
    p.pairCount = int(fit.inlierCount);
    p.freMm = fit.rmsInliersAfter;
    p.registrationType = 0;
    p.verdict = fit.error.empty() ? "plausible" : "not judged";
    p.verdictText = fit.error.empty()
                      ? fmt::format("Surface RMS {:.2f} → {:.2f} mm over {} points in {} iterations.",
                                    fit.rmsInliersBefore, fit.rmsInliersAfter, fit.inlierCount, fit.iterations)
                      : fit.error;
    return p;
}

bool SurfaceRefinementAlgorithm::restorePreviousRegistration()
{
    // The panel that asked shows the result itself; other panels follow the volume's matrix.
    return Kelvaros::restorePreviousRegistration(m_volume, m_stream, kCategory);
}

} // namespace Kelvaros
