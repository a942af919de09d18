#include "imageio/LabelSurfaces.h"

#include <cmath>
#include <set>

#include <fmt/format.h>

#include "core/Log.h"
#include "lib/SharedImageSet.h"

#include "imageio/VolumeSurface.h"

namespace Kelvaros
{

namespace
{

constexpr const char* kCategory = "LabelSurfaces";

/// The labels present, or the reason the voxels are not a label map. Stops at the first label too many, so that a
/// volume of noise costs no more than a real one.
std::set<int> labelsOf(const std::vector<float>& voxels, std::string& reason)
{
    std::set<int> labels;
    for (const float value : voxels)
    {
        if (!(value >= 0.0f) || value != std::floor(value) || value > 1e6f)
        {
            reason = fmt::format("a voxel holds {}, not a label (a whole number from 0, the background)", value);
            return {};
        }
        if (value > 0.0f && labels.insert(int(value)).second && int(labels.size()) > LabelSurfaces::kMaxLabels)
        {
            reason = fmt::format("it holds more than {} labels", LabelSurfaces::kMaxLabels);
            return {};
        }
    }
    if (labels.empty())
        reason = "no voxel holds a label (all are 0, the background)";
    return labels;
}

/// The label's voxels as 1 among 0. The mask lies at the identity placement, so that VolumeSurface's world
/// coordinates are the labels' image coordinates.
void fillMask(SharedImageSet& mask, const std::vector<float>& voxels, int label)
{
    std::vector<float>& out = mask.voxels(0);
    for (std::size_t i = 0; i < voxels.size(); ++i)
        out[i] = voxels[i] == float(label) ? 1.0f : 0.0f;
}

std::optional<std::vector<LabelSurfaces::Structure>> surfacesOf(const SharedImageSet& labels, int image,
                                                                std::string& reason)
{
    if (image < 0 || image >= labels.numImages())
    {
        reason = fmt::format("it has no image {}", image);
        return std::nullopt;
    }
    const std::vector<float>& voxels = labels.voxels(image);
    const std::set<int> present = labelsOf(voxels, reason);
    if (!reason.empty())
        return std::nullopt;
    std::vector<LabelSurfaces::Structure> structures;
    SharedImageSet mask(labels.name(), labels.dimensions(), labels.spacing());
    for (const int label : present)
    {
        fillMask(mask, voxels, label);
        std::optional<Mesh> mesh = VolumeSurface::extract(mask, 0.5f, &reason, 0);
        if (!mesh)
            return std::nullopt;
        structures.push_back({ label, fmt::format("label {}", label), std::move(*mesh) });
    }
    return structures;
}

} // namespace

std::optional<std::vector<LabelSurfaces::Structure>> LabelSurfaces::extract(const SharedImageSet& labels,
                                                                            std::string* error, int image)
{
    std::string reason;
    auto structures = surfacesOf(labels, image < 0 ? labels.selectedImage() : image, reason);
    if (structures)
        return structures;
    reason = fmt::format("No structures from the label volume '{}': {}", labels.name(), reason);
    Log::log(Log::Error, kCategory, reason);
    if (error)
        *error = reason;
    return std::nullopt;
}

} // namespace Kelvaros
