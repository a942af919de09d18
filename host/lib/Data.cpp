#include "lib/Data.h"

#include <Eigen/LU>

namespace Kelvaros
{

Data::Data(std::string name) : m_name(std::move(name)) {}

// Signals are connections of one object, so a copy starts without listeners; the components are cloned.
Data::Data(const Data& other) : m_name(other.name()), m_matrix(other.matrix()), m_components(other.m_components) {}

Data::~Data() = default;

std::string Data::name() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_name;
}

void Data::setName(const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_name = name;
    }
    signalNameChanged.emitSignal();
}

Eigen::Matrix4d Data::matrix() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_matrix;
}

void Data::setMatrix(const Eigen::Matrix4d& matrix)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_matrix = matrix;
    }
    signalMatrixChanged.emitSignal();
}

Eigen::Matrix4d Data::matrixToWorld() const
{
    return matrix();
}

Eigen::Matrix4d Data::matrixFromWorld() const
{
    return matrixToWorld().inverse();
}

} // namespace Kelvaros
