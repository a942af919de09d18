#pragma once

#include <memory>
#include <string>

#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/Algorithm.h"

#include "visualization/ToolMeshBinding.h"

namespace Kelvaros
{

class DataList;
class TrackingStream;
class ToolVisualizationAlgorithm;

/// The algorithm behind the navigation path view: a thin owner of the tool visualization that tracks the needle
/// and of the needle's mesh path. The path logic (rings along a planned spline, target sphere, camera links) lives
/// in its panel, which reads the needle pose from toolVisualization(). compute() does nothing.
///
/// The needle mesh path is stored once, as `toolMeshPath`: the owned tool visualization's `mesh` always follows it,
/// and a saved configuration holds no `mesh` key.
///
/// Threads: user-interface thread, except what the owned tool visualization documents. The stream must outlive
/// the algorithm.
class ToolNavigationVisualizationAlgorithm : public Algorithm
{
public:
    /// True only for exactly one item that is a TrackingStream; with a non-null out-pointer builds the algorithm
    /// on it.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    /// Builds the owned tool visualization on the stream (may be null) without an image, so the stream's
    /// registration is not touched.
    explicit ToolNavigationVisualizationAlgorithm(TrackingStream* stream);
    ~ToolNavigationVisualizationAlgorithm() override;

    /// Reads `toolMeshPath` (made absolute when it is a relative path to an existing file), configures the tool
    /// visualization from the same properties and sets its `mesh` to `toolMeshPath`. Nothing for null.
    void configure(const Properties* properties) override;
    /// Writes `toolMeshPath` and, beside it, the tool visualization's keys, its `mesh` folded into `toolMeshPath`.
    /// Nothing for null.
    void configuration(Properties* properties) const override;
    /// Nothing to compute: status success.
    void compute() override;

    [[nodiscard]] TrackingStream* trackingStream() const { return m_stream; }
    [[nodiscard]] ToolVisualizationAlgorithm& toolVisualization() const { return *m_toolVisualization; }

    /// Mesh file drawn for the needle: a Qt resource path (":/...") or a file on disk.
    Parameter<std::string> p_toolMeshPath{ "toolMeshPath", ":/TrackingPointer.obj", this };

private:
    TrackingStream* m_stream;
    std::unique_ptr<ToolVisualizationAlgorithm> m_toolVisualization;
    ToolMeshBinding m_meshBinding;
};

} // namespace Kelvaros
