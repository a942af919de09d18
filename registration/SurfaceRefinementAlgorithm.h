#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/Algorithm.h"
#include "lib/RegistrationHistoryComponent.h"
#include "lib/geometry/Mesh.h"
#include "lib/numerics/SurfaceIcp.h"

namespace Kelvaros
{

class DataList;
class MeshClosestPoint;
class SharedImageSet;
class StreamData;
class TrackingStream;

/// Refines the registration of a volume to a tracking stream from points swept with the calibrated pointer over an
/// exposed surface (skin, bone): the sweep is matched to the same surface cut from the volume at a threshold by
/// rigid point-to-plane ICP (SurfaceIcp), starting from the registration in force (a landmark registration).
///
/// The surface (extractSurface) is kept in the volume's image coordinates, so it stays on the anatomy whatever the
/// registration does. While recording, every sample in which the pointer ("tool") is tracked with a quality of at
/// least 0.8 adds its calibrated tip, in the stream's world coordinates, unless it lies within kMinimumSpacing of
/// the last point kept (a pointer resting on the skin would otherwise weigh one spot hundreds of times); samples
/// in which it is not seen add nothing, nor do those of a pointer without a tip calibration (counted, so that the
/// panel can say why nothing comes). At kMaximumPoints recording stops with a Warning.
///
/// compute() refines: world → image is V⁻¹ at the start (V the volume's matrix), the fit moves it, and the volume's
/// matrix becomes the inverse of the refined map. The fit is applied when it can be trusted or when the surface
/// only leaves motions free (a round skin: the landmark registration keeps them), and recorded with its provenance
/// in the volume's RegistrationHistoryComponent, so "Restore previous registration" undoes it in one step as it
/// does a landmark registration. A fit that cannot be trusted otherwise (too few points near the surface, the RMS
/// distance grew, no convergence) changes nothing and says why; so does a sweep that mostly lies away from the
/// surface as the volume is registered (no landmark registration yet), before any fit.
///
/// Configuration: "tool" (instrument id), "threshold" (the surface's image value). Threads: the stream listener
/// runs on the stream's thread and touches only the guarded sweep; everything else on the user-interface thread.
/// The stream and the volume must outlive the algorithm.
class SurfaceRefinementAlgorithm
  : public Algorithm
  , public SignalReceiver
{
public:
    /// compute() results beyond the host's 0 (success); on each of them nothing is changed.
    enum ComputeStatus : int
    {
        StatusNoSurface = 2,
        StatusTooFewPoints = 3,
        /// The fit ran but cannot be trusted (its reason is the status message).
        StatusUntrusted = 4
    };

    /// mm between two kept sweep points.
    static constexpr double kMinimumSpacing = 1.0;
    static constexpr std::size_t kMaximumPoints = 5000;
    /// mm around the surface's box within which a swept point counts as near it before the fit; a refinement
    /// corrects millimetres, so a sweep mostly farther than this is not on the surface as registered.
    static constexpr double kNearSurface = 20.0;

    /// True when the list holds exactly one TrackingStream and exactly one volume.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    SurfaceRefinementAlgorithm(TrackingStream& stream, SharedImageSet& volume);
    ~SurfaceRefinementAlgorithm() override;

    /// The pointer whose calibrated tip sweeps the surface; the stream's main instrument at first (else the first
    /// instrument it has seen).
    Parameter<std::string> tool{ "tool", "", this };
    /// The image value at the surface: skin in CT at about -500 HU, in the simulator's phantom between air (-1000)
    /// and its soft tissue (40).
    Parameter<double> threshold{ "threshold", -500.0, this };

    /// Cuts the volume's surface at the threshold; false (and the reason in the status message) when there is none.
    bool extractSurface();
    /// The surface in the volume's image coordinates; null before extractSurface.
    [[nodiscard]] std::shared_ptr<const Mesh> surface() const { return m_surface; }

    void setRecording(bool recording);
    [[nodiscard]] bool isRecording() const;
    /// The sweep in the stream's world coordinates (mm). Any thread.
    [[nodiscard]] std::vector<Eigen::Vector3d> sweep() const;
    void clearSweep();
    /// Samples of the pointer left out since the last clearSweep because it had no tip calibration. Any thread.
    [[nodiscard]] int64_t uncalibratedSamples() const;

    /// Refines, applies and records the registration (see the class comment).
    void compute() override;
    /// The figures of the last fit, kept also when it was not applied.
    [[nodiscard]] const std::optional<SurfaceIcp::Result>& lastFit() const { return m_lastFit; }
    /// How far the last applied fit moved the volume's centre (mm).
    [[nodiscard]] std::optional<double> lastChangeAtCentre() const { return m_changeAtCentre; }

    /// Puts back what the registration in force replaced (the volume's RegistrationHistoryComponent, whichever
    /// panel made it); a second call redoes it. False when there is nothing.
    bool restorePreviousRegistration();

    [[nodiscard]] TrackingStream& stream() const { return m_stream; }
    [[nodiscard]] SharedImageSet& volume() const { return m_volume; }

private:
    void onStreamData(const std::shared_ptr<const StreamData>& data);
    [[nodiscard]] std::size_t pointsNearSurface(const std::vector<Eigen::Vector3d>& points,
                                                const Eigen::Isometry3d& worldToImage) const;
    [[nodiscard]] RegistrationHistoryComponent::Provenance provenance(const SurfaceIcp::Result& fit) const;

    TrackingStream& m_stream;
    SharedImageSet& m_volume;
    std::shared_ptr<const Mesh> m_surface;
    std::unique_ptr<MeshClosestPoint> m_surfaceIndex;
    std::optional<SurfaceIcp::Result> m_lastFit;
    std::optional<double> m_changeAtCentre;

    /// Guards what the stream listener touches.
    mutable std::mutex m_mutex;
    bool m_recording = false;
    std::string m_toolId;
    std::vector<Eigen::Vector3d> m_sweep;
    int64_t m_uncalibratedSamples = 0;
};

} // namespace Kelvaros
