#include "FileKind.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "core/FileSystem.h"

namespace Kelvaros
{

namespace
{
bool endsWith(const std::string& text, std::string_view ending)
{
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}
} // namespace

std::string FileKind::of(const std::string& path, std::string* why)
{
    const auto fail = [why](std::string reason)
    {
        if (why)
            *why = std::move(reason);
        return std::string();
    };
    if (std::string reason = FileSystem::whyNotReadable(path, true); !reason.empty())
        return fail(path + ": " + reason);
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return "volume"; // a DICOM series
    std::string name = path;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const char* ending : { ".nrrd", ".nhdr", ".nii", ".nii.gz", ".dcm" })
        if (endsWith(name, ending))
            return "volume";
    for (const char* ending : { ".obj", ".stl", ".ply" })
        if (endsWith(name, ending))
            return "mesh";
    if (endsWith(name, ".kws") || endsWith(name, ".xml"))
        return "workspace";
    if (endsWith(name, ".csv"))
        return "recording";
    if (endsWith(name, ".mha") || endsWith(name, ".mhd"))
        return isTrackingSequence(path) ? "recording" : "volume";
    return fail(path + ": its name does not say what it holds (volumes .nrrd .nhdr .nii .nii.gz .mha .mhd .dcm or a "
                       "DICOM folder, meshes .obj .stl .ply, workspaces .kws .xml, recordings .mha .csv)");
}

bool FileKind::isTrackingSequence(const std::string& path)
{
    // A MetaImage header is a few lines of text before its data; a sequence names its frames there.
    std::ifstream file(path, std::ios::binary);
    std::string header(64 * 1024, '\0');
    file.read(header.data(), std::streamsize(header.size()));
    header.resize(std::size_t(file.gcount()));
    header = header.substr(0, header.find("ElementDataFile"));
    return header.find("Seq_Frame") != std::string::npos;
}

} // namespace Kelvaros
