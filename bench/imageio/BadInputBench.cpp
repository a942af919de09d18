// Times the refusal of bad inputs that the workbench reads on its main thread, so the longest is the longest stall a
// bad file causes there; and, for scale, the reading of the same volume undamaged. Prints FIGURE lines last.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshIO.h"

#include "imageio/VolumeIO.h"

namespace
{
using namespace Kelvaros;
namespace fs = std::filesystem;

/// A CT-sized volume with noise in its soft tissue, so that it compresses as a scan does, not as a blank.
std::unique_ptr<SharedImageSet> ctLikeVolume()
{
    auto image = std::make_unique<SharedImageSet>("ct", Eigen::Vector3i(512, 512, 200), Eigen::Vector3d(0.7, 0.7, 1.0));
    std::mt19937 random(7);
    std::normal_distribution<float> noise(40.0f, 12.0f);
    std::vector<float>& voxels = image->voxels();
    for (size_t i = 0; i < voxels.size(); ++i)
    {
        const size_t x = i % 512, y = (i / 512) % 512;
        const bool inside = (x - 256.0) * (x - 256.0) + (y - 256.0) * (y - 256.0) < 200.0 * 200.0;
        voxels[i] = inside ? std::round(noise(random)) : -1000.0f;
    }
    return image;
}

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

void writeAll(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

/// Milliseconds `work` takes; `refused` says whether it was refused as it must be.
double milliseconds(const std::function<bool()>& work, bool& refused)
{
    const auto start = std::chrono::steady_clock::now();
    refused = work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Case
{
    const char* name;
    std::function<bool()> refuse; // true when the input was refused
};
} // namespace

int main()
{
    Log::setConsoleEnabled(false);
    const fs::path folder = fs::temp_directory_path() / ("bad-input-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder / "dicom");
    const auto volume = ctLikeVolume();
    const fs::path mha = folder / "ct.mha", nrrd = folder / "ct.nrrd";
    if (!VolumeIO::save(*volume, mha.string()).empty() || !VolumeIO::save(*volume, nrrd.string()).empty())
        return 1;
    const std::string compressed = readAll(mha);
    std::string flipped = compressed;
    for (size_t i = 0; i < 20; ++i)
        flipped[flipped.size() - 1000 - 37 * i] ^= 0x5a; // near the end: everything before it must be inflated
    writeAll(folder / "flipped.mha", flipped);
    const std::string nrrdBytes = readAll(nrrd);
    writeAll(folder / "cut.nrrd", nrrdBytes.substr(0, nrrdBytes.size() / 2));
    std::mt19937 random(437);
    for (int file = 0; file < 2000; ++file)
    {
        std::string noise(437, '\0');
        for (char& c : noise)
            c = char(random());
        writeAll(folder / "dicom" / ("f" + std::to_string(file)), noise);
    }
    writeAll(folder / "huge.ply",
             "ply\nformat ascii 1.0\nelement vertex 179000000\nproperty float x\nproperty float y\n"
             "property float z\nend_header\n0 0 0\n");
    std::string workspace = "<properties name='workspace'>\n";
    while (workspace.size() < (60u << 20))
        workspace += "<param key='k" + std::to_string(workspace.size()) + "' value='1'/>\n";
    writeAll(folder / "big-workspace.xml", workspace + "</properties>\n");

    const Case cases[] = {
        { "corrupt_compressed_ct_mha", [&] { return !VolumeIO::load((folder / "flipped.mha").string()).image; } },
        { "truncated_ct_nrrd", [&] { return !VolumeIO::load((folder / "cut.nrrd").string()).image; } },
        { "dicom_folder_of_2000_foreign_files", [&] { return !VolumeIO::load((folder / "dicom").string()).image; } },
        { "ply_announcing_179M_vertices", [&] { return !MeshIO::loadFile((folder / "huge.ply").string()); } },
        { "workspace_of_60MiB", [&] { return !Properties::loadFromXmlFile((folder / "big-workspace.xml").string()); } },
    };
    double longest = 0.0;
    std::vector<std::pair<std::string, double>> figures;
    for (const Case& c : cases)
    {
        bool refused = false;
        const double took = milliseconds(c.refuse, refused);
        std::printf("%-40s %s in %.1f ms\n", c.name, refused ? "refused" : "ACCEPTED", took);
        figures.emplace_back(c.name, took);
        longest = std::max(longest, took);
    }
    bool read = false;
    const double good = milliseconds([&] { return bool(VolumeIO::load(mha.string()).image); }, read);
    fs::remove_all(folder);
    for (const auto& [name, took] : figures)
        std::printf("FIGURE refuse_%s %.1f ms\n", name.c_str(), took);
    std::printf("FIGURE read_good_ct_mha %.1f ms\n", read ? good : -1.0);
    std::printf("FIGURE longest_bad_file_refusal %.1f ms\n", longest);
    return 0;
}
