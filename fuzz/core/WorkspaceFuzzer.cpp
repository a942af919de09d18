// libFuzzer target for reading a workspace without the application: the XML reader, the bounds a workspace is held
// to, and its registration and calibration matrices.
//
// Besides "no crash, no sanitizer finding", it checks what loading relies on: every matrix that reading accepts is
// finite with its 3x3 block turning the right way (a mirror only where one was allowed).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/PropertiesXml.h"

#include "FuzzSupport.h"
#include "session/WorkspaceReading.h"

namespace
{
using namespace Kelvaros;

void expectPlacement(const Eigen::Matrix4d& matrix, bool mirrorAllowed)
{
    const double determinant = matrix.topLeftCorner<3, 3>().determinant();
    if (!matrix.allFinite() || (!mirrorAllowed && determinant <= 0.0) || std::abs(std::abs(determinant) - 1.0) > 0.01)
        __builtin_trap(); // a matrix that is not a placement was let through
}

void readCalibration(const Properties* node, const WorkspaceProblems& problems)
{
    if (!node)
        return;
    if (const auto entry = WorkspaceReading::calibration(*node, "calibration", problems))
        expectPlacement(entry->calibration.matrix, false);
}

/// What loading reads from a data entry, or from an algorithm's output.
void readState(const Properties& node, const WorkspaceProblems& problems)
{
    for (const bool mirrorAllowed : { false, true })
        if (const auto matrix = WorkspaceReading::placement(node, "registration", "dropped", mirrorAllowed, problems))
            expectPlacement(*matrix, mirrorAllowed);
    const Properties* list = node.subProperties("calibrations");
    for (const Properties* instrument : list ? list->subPropertiesAll("instrument") : std::vector<Properties*>())
    {
        readCalibration(instrument, problems);
        readCalibration(instrument->subProperties("previous"), problems);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fuzz::quietLog();
    // Small bounds, so that the search spends its time on structure rather than on size.
    constexpr PropertiesXml::Limits kLimits{ 1 << 16, 4096 };
    const auto tree =
      PropertiesXml::read(std::string(reinterpret_cast<const char*>(data), size), "fuzz input", kLimits);
    if (!tree || !WorkspaceReading::whyTooLarge(*tree, "fuzz input").empty())
        return 0;
    std::vector<std::string> list;
    const WorkspaceProblems problems(list);
    for (const Properties* node : tree->subPropertiesAll("data"))
        readState(*node, problems);
    for (const Properties* algorithm : tree->subPropertiesAll("algorithm"))
        if (const Properties* output = algorithm->subProperties("output"))
            readState(*output, problems);
    return 0;
}
