// libFuzzer target for the reader of the XML property files (workspaces, saved configurations).
//
// Besides "no crash, no sanitizer finding", it checks the promise the file format makes: a tree that was read
// writes out to text that reads back to the same tree, and writing that again gives the very same bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Properties.h"
#include "core/PropertiesXml.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Kelvaros;
    Fuzz::quietLog();

    // The reader compiled into this program (instrumented), not the copy inside the host library.
    const auto tree = PropertiesXml::read(std::string(reinterpret_cast<const char*>(data), size), "fuzz input");
    if (!tree)
        return 0;
    const std::string written = PropertiesXml::write(*tree);
    const auto again = PropertiesXml::read(written, "fuzz rewrite");
    if (!again || !(*again == *tree) || PropertiesXml::write(*again) != written)
        __builtin_trap(); // the round trip changed something
    return 0;
}
