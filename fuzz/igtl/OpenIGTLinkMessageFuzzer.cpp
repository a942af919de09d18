// libFuzzer entry for the OpenIGTLink message decoder: every byte string must give either a message with finite,
// identified poses (tracked ones rigid, the others untracked with quality 0) or an error text, never a crash, a hang
// or a sanitizer report.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <igtl_util.h>

#include "lib/numerics/Pose.h"
#include "stream/igtl/OpenIGTLinkMessageDecoder.h"

namespace
{

using Decoder = Kelvaros::OpenIGTLinkMessageDecoder;

void check(const Decoder::Result& result)
{
    if (!result.ok())
    {
        if (result.error.empty())
            std::abort();
        return;
    }
    for (const auto& instrument : result.message->instruments)
        if (instrument.ID().empty() || !instrument.matrix.allFinite() ||
            (instrument.tracked ? !Kelvaros::Pose::isRigid(instrument.matrix) : instrument.quality != 0.0))
            std::abort();
}

/// The input with body size and CRC made to match its tail, so that mutations reach the body decoders instead
/// of stopping at the CRC check.
void decodeWithConsistentHeader(const uint8_t* data, size_t size)
{
    if (size < Decoder::headerSize)
        return;
    std::vector<uint8_t> message(data, data + size);
    const uint64_t bodySize = size - Decoder::headerSize;
    const uint64_t crc = crc64(message.data() + Decoder::headerSize, bodySize, 0);
    for (int i = 0; i < 8; ++i)
    {
        message[42 + i] = static_cast<uint8_t>(bodySize >> (56 - 8 * i));
        message[50 + i] = static_cast<uint8_t>(crc >> (56 - 8 * i));
    }
    check(Decoder::decode(message.data(), message.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input as one message, as it is and with a consistent header.
    check(Decoder::decode(data, size));
    decodeWithConsistentHeader(data, size);

    // The input as a byte stream, split the way the client stream splits it: header, then announced body.
    size_t offset = 0;
    while (size - offset >= Decoder::headerSize)
    {
        Decoder::Header header;
        const Decoder::Result headerResult = Decoder::decodeHeader(data + offset, size - offset, header);
        if (!headerResult.ok())
        {
            if (!headerResult.framingLost)
                std::abort();
            break;
        }
        if (header.bodySize > size - offset - Decoder::headerSize)
            break;
        const size_t total = Decoder::headerSize + static_cast<size_t>(header.bodySize);
        check(Decoder::decode(data + offset, total));
        offset += total;
    }
    return 0;
}
