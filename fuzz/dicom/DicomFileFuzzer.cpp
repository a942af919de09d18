// libFuzzer target for the DICOM pre-scanner's single-file check.
//
// Besides "no crash, no sanitizer finding", it checks what the check promises for every file it accepts: the
// pixel data lie within the input, native pixel data hold every decoded byte, and the decoded size fits the budget.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "imageio/DicomScanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Kelvaros;
    Fuzz::quietLog();

    // Small, so that inputs can reach the budget with a few bytes of Rows and Columns.
    constexpr long long budget = 1 << 20;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto check = DicomScanner::checkBytes(bytes, budget);
    if (!check.ok())
        return 0;

    const auto& facts = check.facts;
    if (facts.decodedBytes <= 0 || facts.decodedBytes > budget)
        __builtin_trap();
    if (facts.pixelOffset < 0 || facts.pixelOffset > (long long)size)
        __builtin_trap();
    if (!facts.encapsulated &&
        (facts.pixelLength < facts.decodedBytes || facts.pixelOffset + facts.pixelLength > (long long)size))
        __builtin_trap();
    return 0;
}
