#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

namespace Kelvaros::Nav
{

Eigen::Vector3d transformPoint(const Eigen::Matrix4d& m, const Eigen::Vector3d& p);
double angleDegrees(const Eigen::Vector3d& a, const Eigen::Vector3d& b);
/// "(x y z)" with the given number of decimals.
std::string vec(const Eigen::Vector3d& v, int decimals = 2);

/// One line of the report: what was estimated, the truth and the error, with the limit the error must stay under.
struct ReportLine
{
    std::string what;
    std::string estimate;
    std::string truth;
    double error = 0;
    std::string unit;
    double limit = 0;
};

/// The demos' report of every estimate against the simulator's ground truth, printed on stdout.
class Report
{
public:
    void add(ReportLine line) { m_lines.push_back(std::move(line)); }
    void note(std::string text) { m_notes.push_back(std::move(text)); }
    void fail(std::string text) { m_failures.push_back(std::move(text)); }

    /// Prints the table, the notes and the failures; true when every error is within its limit and nothing failed.
    bool print(double seconds) const;

private:
    std::vector<ReportLine> m_lines;
    std::vector<std::string> m_notes;
    std::vector<std::string> m_failures;
};

} // namespace Kelvaros::Nav
