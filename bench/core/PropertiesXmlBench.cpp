// Reads a node of as many parameters as a document may hold (the duplicate-key check must stay linear) and a file of
// tiny parameters (the reader's memory must stay proportional to the file), and prints the headline figures.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "core/PropertiesXml.h"

namespace
{
using namespace Kelvaros;

std::string manyParams(int count)
{
    std::string xml = "<properties name='node'>\n";
    for (int i = 0; i < count; ++i)
        xml += "<param key='k" + std::to_string(i) + "' value='" + std::to_string(i) + "'/>\n";
    return xml + "</properties>\n";
}

double readMilliseconds(const std::string& xml)
{
    double best = 1e300;
    for (int run = 0; run < 3; ++run)
    {
        const auto start = std::chrono::steady_clock::now();
        const auto tree = Properties::fromXml(xml, "bench");
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        if (!tree)
            return -1.0;
        best = std::min(best, took.count());
    }
    return best;
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/// The resident size now, so that an earlier peak does not hide the reader's.
long residentKilobytes()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}
} // namespace

int main()
{
    const int params = int(PropertiesXml::maxElements) - 1; // the root is an element too
    const double paramsMs = readMilliseconds(manyParams(params));

    const std::filesystem::path file = std::filesystem::temp_directory_path() / "PropertiesXmlBench.xml";
    {
        std::ofstream out(file, std::ios::binary);
        out << manyParams(int(PropertiesXml::maxElements) - 1);
    }
    const double fileBytes = double(std::filesystem::file_size(file));
    const long before = residentKilobytes();
    const bool read = Properties::loadFromXmlFile(file.string()) != nullptr;
    const long after = peakKilobytes();
    std::filesystem::remove(file);

    std::printf("node of %d parameters read in %.1f ms (best of 3)\n", params, paramsMs);
    std::printf("file of %.1f MB %s; peak memory grew by %.1f MB\n", fileBytes / 1e6, read ? "read" : "NOT read",
                double(after - before) / 1e3);
    std::printf("FIGURE properties_read_node_at_element_bound %.1f ms\n", paramsMs);
    std::printf("FIGURE properties_read_peak_memory_per_file_byte %.1f bytes\n",
                double(after - before) * 1024.0 / fileBytes);
    return read && paramsMs >= 0.0 ? 0 : 1;
}
