#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/Algorithm.h"
#include "lib/geometry/CriticalStructures.h"
#include "lib/geometry/Mesh.h"

#include "imageio/StructureFiles.h"
#include "visualization/BreachReading.h"
#include "visualization/ToolFigurePremises.h"

namespace Kelvaros
{

class DataList;
class SharedImageSet;
class StreamData;
class TrackingStream;

/// Warns while a tracked tool comes close to critical structures (vessels, nerves) segmented in an image: at every
/// sample, the signed distance (negative inside) from the tool's calibrated tip, or from its needle back from the
/// tip over "needleLength", to the nearest structure, judged against the warning margin (CriticalStructures).
///
/// The structures are mesh files in the volume's image coordinates (as a segmentation of that image is saved); they
/// stay on the anatomy whatever the registration does. The tool's pose comes into image space through the stream's
/// and the volume's matrices of the moment.
///
/// A distance is given only when it can be trusted, by the tool figures' premises (ToolFigurePremises): not while
/// the tool is not seen or its samples are stale, not for a tool without a tip calibration (nor a needle without an
/// axis calibration: the tip alone is measured then, and the reading says so), and not while the tool lies far
/// outside the image, as before a registration.
///
/// Its readings are published on the BreachReadingBoard under the stream and the tool, for the read-outs of other
/// panels following that tool; a change of tool publishes under the new one, and destruction withdraws them.
///
/// Configuration: "tool", "margin" (mm), "needleLength" (mm, 0: the tip only), "tone" (the panel's warning tone) and
/// the block "structures" with one "path" per structure. Threads: the stream listener runs on the stream's thread
/// and keeps only the last reading under the mutex; reading() may be called from any thread (the board does);
/// everything else runs on the user-interface thread. The stream and the volume must outlive it.
class BreachWarningAlgorithm
  : public Algorithm
  , public SignalReceiver
{
public:
    using Reading = BreachReading;

    /// True when the list holds exactly one TrackingStream and exactly one volume.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    BreachWarningAlgorithm(TrackingStream& stream, SharedImageSet& volume);
    ~BreachWarningAlgorithm() override;

    void configure(const Properties* properties) override;
    void configuration(Properties* properties) const override;

    Parameter<std::string> tool{ "tool", "", this };
    Parameter<double> margin{ "margin", 5.0, this };
    Parameter<double> needleLength{ "needleLength", 0.0, this };
    /// The panel sounds the reading (breachTone); the algorithm itself makes no sound.
    Parameter<bool> tone{ "tone", false, this };

    /// Reads a structure file (StructureFiles: a mesh, or a label map with one structure per label); false with the
    /// reason when it cannot.
    bool addStructure(const std::string& path, std::string* reason);
    void clearStructures();
    [[nodiscard]] std::vector<std::string> structurePaths() const;
    /// One name per structure, as the readings give them.
    [[nodiscard]] std::vector<std::string> structureNames() const;
    /// The structures' meshes in image coordinates, for drawing.
    [[nodiscard]] std::vector<std::shared_ptr<const Mesh>> structureMeshes() const;

    /// Nothing: the work happens at every sample.
    void compute() override {}
    /// The reading of the last sample, judged now (a reading grows stale without samples).
    [[nodiscard]] Reading reading() const;

    [[nodiscard]] TrackingStream& stream() const { return m_stream; }
    [[nodiscard]] SharedImageSet& volume() const { return m_volume; }

private:
    void onStreamData(const std::shared_ptr<const StreamData>& data);
    void rebuildStructures();
    /// The tool, margin and needle length for the listener.
    void applyParameters();

    TrackingStream& m_stream;
    SharedImageSet& m_volume;
    std::vector<std::string> m_paths;
    /// What the files hold: a mesh file is one structure, a label map one per label.
    std::vector<StructureFiles::Structure> m_structureList;

    /// Guards what the listener reads and writes.
    mutable std::mutex m_mutex;
    std::shared_ptr<CriticalStructures> m_structures;
    std::string m_toolId;
    double m_needleLength = 0.0;
    std::optional<Eigen::Matrix4d> m_toolMatrix;
    std::optional<BreachDistance> m_distance;
    bool m_tipOnly = false;
    ToolCalibrationKnowledge m_calibration;
    std::chrono::steady_clock::time_point m_lastSample{};
    bool m_sampled = false;
};

} // namespace Kelvaros
