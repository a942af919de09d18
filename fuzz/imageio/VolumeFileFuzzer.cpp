// libFuzzer target for the volume reader, built once per file format: KELVAROS_FUZZ_EXTENSION names the format.
//
// The reader takes file names, so each input is written to a file of that extension. A small memory budget keeps
// every accepted volume far below libFuzzer's RSS limit; besides "no crash, no sanitizer finding" it checks that an
// accepted volume has the voxels and a placement its header announced.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <unistd.h>

#include "FuzzSupport.h"
#include "imageio/VolumeIO.h"

namespace
{
std::string inputPath()
{
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/kelvaros-volume-fuzz-" + std::to_string(::getpid()) +
           KELVAROS_FUZZ_EXTENSION;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Kelvaros;
    Fuzz::quietLog();
    VolumeIO::setMemoryBudgetBytes(64u << 20);
    static const std::string path = inputPath();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    const auto loaded = VolumeIO::load(path);
    std::remove(path.c_str());
    if (!loaded.image)
        return 0;
    const VolumeGeometry& geometry = loaded.info.geometry;
    if (loaded.image->dimensions() != geometry.dimensions || !geometry.whyImplausible().empty())
        __builtin_trap(); // accepted with a geometry the reader promises to refuse
    if (loaded.image->voxels().size() != loaded.image->numVoxels() || !loaded.image->matrix().allFinite())
        __builtin_trap();
    return 0;
}
