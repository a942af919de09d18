#include "DemoReport.h"

#include <cmath>
#include <cstdio>

#include <Eigen/Geometry>
#include <fmt/format.h>

namespace Kelvaros::Nav
{

Eigen::Vector3d transformPoint(const Eigen::Matrix4d& m, const Eigen::Vector3d& p)
{
    return (m * p.homogeneous()).head<3>();
}

double angleDegrees(const Eigen::Vector3d& a, const Eigen::Vector3d& b)
{
    return std::atan2(a.cross(b).norm(), a.dot(b)) * 180.0 / M_PI;
}

std::string vec(const Eigen::Vector3d& v, int decimals)
{
    return fmt::format("({:.{}f} {:.{}f} {:.{}f})", v.x(), decimals, v.y(), decimals, v.z(), decimals);
}

bool Report::print(double seconds) const
{
    std::puts("\nKelvaros navigation demo: estimates against the simulator's ground truth\n");
    std::printf("  %-40s %-26s %-26s %10s\n", "", "estimate", "truth", "error");
    bool withinLimits = m_failures.empty();
    for (const auto& line : m_lines)
    {
        const bool ok = line.error <= line.limit;
        withinLimits = withinLimits && ok;
        std::printf("  %-40s %-26s %-26s %7.3f %-3s%s\n", line.what.c_str(), line.estimate.c_str(), line.truth.c_str(),
                    line.error, line.unit.c_str(), ok ? "" : "  (above the limit)");
    }
    for (const auto& note : m_notes)
        std::printf("  %s\n", note.c_str());
    for (const auto& failure : m_failures)
        std::printf("  FAILED: %s\n", failure.c_str());
    std::printf("\n%s in %.1f s\n", withinLimits ? "All estimates within their limits" : "Demo FAILED", seconds);
    return withinLimits;
}

} // namespace Kelvaros::Nav
