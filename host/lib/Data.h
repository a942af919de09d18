#pragma once

#include <mutex>
#include <string>

#include <Eigen/Core>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/DataComponentList.h"

namespace Kelvaros
{

/// Anything the application holds as data: image sets, tracking streams, tracking sequences, point sets, meshes.
/// Every Data is placed in world space by its matrix (data coordinates → world coordinates, millimetres).
/// name/matrix accessors are thread-safe, since stream threads read a stream's registration matrix.
class KELVAROS_API Data
{
public:
    enum class Kind
    {
        Unknown,
        Image,
        Volume,
        TrackingStream,
        TrackingSequence,
        Stream,
        PointSet,
        Mesh
    };

    enum class Modality
    {
        NA,
        Xray,
        CT,
        MRI,
        Ultrasound,
        Tracking,
        Label
    };

    explicit Data(std::string name = std::string());
    Data(const Data& other);
    Data& operator=(const Data& other) = delete;
    virtual ~Data();

    [[nodiscard]] std::string name() const;
    void setName(const std::string& name);

    /// Placement in world space: data → world (for a stream, its registration matrix).
    [[nodiscard]] Eigen::Matrix4d matrix() const;
    void setMatrix(const Eigen::Matrix4d& matrix);
    /// Data → world; the same as matrix() for data that are not nested in another.
    [[nodiscard]] virtual Eigen::Matrix4d matrixToWorld() const;
    /// World → data (the inverse of matrixToWorld).
    [[nodiscard]] Eigen::Matrix4d matrixFromWorld() const;

    [[nodiscard]] virtual Kind kind() const = 0;
    [[nodiscard]] virtual Modality modality() const { return Modality::NA; }

    [[nodiscard]] DataComponentList& components() { return m_components; }
    [[nodiscard]] const DataComponentList& components() const { return m_components; }

    /// Emitted after setMatrix, on the thread that called it.
    SignalImpl<> signalMatrixChanged;
    /// Emitted after setName.
    SignalImpl<> signalNameChanged;

private:
    mutable std::mutex m_mutex;
    std::string m_name;
    Eigen::Matrix4d m_matrix = Eigen::Matrix4d::Identity();
    DataComponentList m_components;
};

} // namespace Kelvaros
