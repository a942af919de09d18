#include "RegisterCommand.h"

#include <cstdio>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "lib/numerics/RegistrationQuality.h"
#include "lib/numerics/RigidRegistration.h"

#include "CommandLine.h"
#include "ExitCode.h"
#include "MatrixText.h"
#include "PointListFile.h"

namespace Kelvaros::Nav
{

const char* const kRegisterUsage =
  "  register --tracked FILE --image FILE [--type N] [--target \"x y z\"] [--fle MM]\n"
  "               rigid registration of tracked points (tracker space) onto image points, paired by\n"
  "               order (text or CSV, one \"x y z\" a line); --type as the live registration: 0 global\n"
  "               tracking (default), 1 adjust the volume's registration, 2 adjust the calibration of\n"
  "               the relative instrument; --fle the localisation error expected of one landmark (RMS,\n"
  "               mm): the fit is judged against it and exits 1 (with a warning naming the pairs to\n"
  "               check) when its FRE is improbable for it; without --fle the fit cannot be judged\n";

namespace
{
const char* const kTypeNames[] = { "global tracking", "adjust registration of volume",
                                   "adjust calibration of relative tracker" };

void printApplication(int type)
{
    switch (type)
    {
        case 0:
            std::puts("Applied as: the volume's matrix becomes T (tracker and image share world space).");
            break;
        case 1:
            std::puts("Applied as: the volume's matrix becomes T; the relative instrument's calibration is reset to "
                      "identity.");
            break;
        default:
            std::puts("Applied as: T becomes the calibration of the relative instrument; the volume is unchanged.");
            break;
    }
}

int usageError(const std::string& error)
{
    std::fprintf(stderr, "kelvaros-nav register: %s\n", error.c_str());
    return ExitUsage;
}

/// Prints the residuals and the judgement; true when the fit is improbable for the expected FLE.
bool printJudgement(const std::vector<Eigen::Vector3d>& image, const std::vector<Eigen::Vector3d>& tracked,
                    std::optional<double> expectedFle, const std::optional<Eigen::Vector3d>& target)
{
    const auto report =
      RegistrationQuality::evaluate(tracked, image, expectedFle, RegistrationQuality::centroid(image));
    if (!report)
        return false;
    std::puts("Residuals |T * image_i - tracked_i| (mm), by pair:");
    for (size_t i = 0; i < report->pairs.size(); ++i)
        std::printf("  %3zu  %8.3f\n", i + 1, report->pairs[i].residual);
    std::printf("Fiducial registration error (RMS): %.3f mm\n", report->fre);
    const RegistrationQualityText text = RegistrationQuality::describe(*report, "the centroid of the landmarks");
    for (const std::string* line : { &text.verdict, &text.worstPairs, &text.fle, &text.tre })
        if (!line->empty())
            std::puts(line->c_str());
    if (target)
        if (const auto atTarget = RegistrationQuality::evaluate(tracked, image, expectedFle, *target))
            std::puts(RegistrationQuality::describe(*atTarget, "the target (" + vectorText(*target) + ")").tre.c_str());
    return report->verdict == RegistrationVerdict::Improbable;
}
} // namespace

int runRegister(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "tracked", "image", "type", "target", "fle" }, {}, 0, 0 });
    if (!line.ok())
        return usageError(line.error());
    std::string error;
    const auto type = line.integer("type", 0, &error);
    if (!type)
        return usageError(error);
    std::optional<double> fle;
    if (line.value("fle") && !(fle = line.number("fle", 0, &error)))
        return usageError(error);
    std::optional<Eigen::Vector3d> target;
    if (line.value("target") && !(target = parsePoint(*line.value("target"))))
        return usageError("--target needs three numbers \"x y z\"");
    if (!line.value("tracked") || !line.value("image"))
        return usageError("register needs --tracked FILE and --image FILE");
    if (*type < 0 || *type > 2)
        return usageError(fmt::format("--type must be 0, 1 or 2, not {}", *type));
    if (fle && !(*fle > 0))
        return usageError("--fle must be a positive number of millimetres");

    const auto tracked = readPointList(*line.value("tracked"), &error);
    const auto image = tracked ? readPointList(*line.value("image"), &error) : std::nullopt;
    if (!tracked || !image)
    {
        std::fprintf(stderr, "kelvaros-nav register: %s\n", error.c_str());
        return ExitBadInput;
    }
    if (tracked->size() != image->size())
    {
        std::fprintf(stderr,
                     "kelvaros-nav register: %zu tracked points but %zu image points; the lists pair by order\n",
                     tracked->size(), image->size());
        return ExitBadInput;
    }

    const auto transform = RigidRegistration::fitRigid(*image, *tracked);
    if (!transform)
    {
        std::fputs("kelvaros-nav register: the points do not determine a rigid transform (at least 3 pairs, not all "
                   "on one line, are needed)\n",
                   stderr);
        return ExitFailure;
    }
    std::printf("Registration of %zu point pairs, type %d (%s)\n", image->size(), *type, kTypeNames[*type]);
    std::printf("T (image to tracker coordinates):\n%s", matrixText(*transform).c_str());
    printApplication(*type);
    // A fit the expected localisation error cannot explain is a failed registration, whatever its matrix.
    return printJudgement(*image, *tracked, fle, target) ? ExitFailure : ExitSuccess;
}

} // namespace Kelvaros::Nav
