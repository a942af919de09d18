// libFuzzer target for the tracking sequence-file reader.
//
// Besides "no crash, no sanitizer finding", it checks the reader's contract on every input it accepts: what was
// read can be written, and the written text reads back to samples that format to the very same text (nothing
// accepted is lost or altered by a round trip).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "stream/TrackingSequence.h"
#include "stream/io/TrackingSequenceFile.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Kelvaros;
    Fuzz::quietLog();

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto samples = TrackingSequenceFile::parse(text, "fuzz input");
    if (!samples)
        return 0;

    const auto written = TrackingSequenceFile::format(*samples);
    if (!written)
        __builtin_trap(); // accepted but not writable
    const auto again = TrackingSequenceFile::parse(*written, "fuzz rewrite");
    if (!again || TrackingSequenceFile::format(*again) != written)
        __builtin_trap(); // the round trip changed something

    if (!TrackingSequenceFile::formatCsv(*samples))
        __builtin_trap();
    const auto sequences = TrackingSequenceFile::toSequences(*samples);
    size_t recorded = 0;
    for (const auto& sequence : sequences)
        recorded += size_t(sequence->size());
    size_t instruments = 0;
    for (const TrackingSample& sample : *samples)
        instruments += sample.instruments.size();
    if (recorded != instruments)
        __builtin_trap(); // a pose went missing on the way into sequences
    return 0;
}
