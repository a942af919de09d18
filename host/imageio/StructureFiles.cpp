#include "imageio/StructureFiles.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshIO.h"

#include "imageio/LabelSurfaces.h"
#include "imageio/VolumeIO.h"

namespace Kelvaros
{
namespace
{
std::optional<std::vector<StructureFiles::Structure>> readLabelMap(const std::string& path, std::string* reason)
{
    const VolumeIO::LoadResult loaded = VolumeIO::load(path);
    if (!loaded.image)
    {
        *reason = loaded.error;
        return std::nullopt;
    }
    const auto labelled = LabelSurfaces::extract(*loaded.image, reason);
    if (!labelled)
        return std::nullopt;
    std::filesystem::path stem = std::filesystem::path(path).stem();
    if (std::filesystem::path(path).extension() == ".gz")
        stem = stem.stem();
    std::vector<StructureFiles::Structure> structures;
    for (const LabelSurfaces::Structure& structure : *labelled)
        structures.push_back({ stem.string() + " " + structure.name, std::make_shared<const Mesh>(structure.mesh) });
    return structures;
}
} // namespace

bool StructureFiles::isLabelMap(const std::string& path)
{
    std::string name = std::filesystem::path(path).filename().string();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const auto endsWith = [&name](const std::string& ending)
    { return name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0; };
    static const std::vector<std::string> kEndings = { ".nrrd", ".nhdr", ".nii", ".nii.gz", ".mha", ".mhd" };
    return std::any_of(kEndings.begin(), kEndings.end(), endsWith);
}

std::optional<std::vector<StructureFiles::Structure>> StructureFiles::read(const std::string& path, std::string* reason)
{
    std::string ignored;
    std::string& why = reason ? *reason : ignored;
    if (isLabelMap(path))
        return readLabelMap(path, &why);
    std::shared_ptr<const Mesh> mesh = MeshIO::loadFile(path);
    if (!mesh)
    {
        why = "The structure '" + path + "' cannot be read (see the log)";
        return std::nullopt;
    }
    return std::vector<Structure>{ { std::filesystem::path(path).stem().string(), std::move(mesh) } };
}

} // namespace Kelvaros
