#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"
#include "stream/TrackingInstrument.h"

namespace Kelvaros
{

/// Decodes OpenIGTLink messages that carry tool poses (TRANSFORM, TDATA, QTDATA, POSITION) into instruments.
///
/// A pure function of the bytes: no sockets, no state, no logging, so that it can be fuzzed and tested on
/// crafted input. Every check a hostile or broken peer could defeat is made here, before a single field is read:
/// plausible header, body size that matches the type, CRC-64 of the body, non-empty names.
/// We do not hand the bytes to the library's Unpack for this, because its body decoders trust the announced body
/// size (a 40-byte TRANSFORM body is read as 48 bytes).
///
/// Poses come out as tool → tracker 4x4 matrices in millimetres (OpenIGTLink's own unit convention); each
/// decoded instrument has model "OpenIGTLink", its device or element name as id and name, and the message time
/// stamp (microseconds) as its timestamp. OpenIGTLink has no tracked flag: an instrument is tracked with quality 1
/// when its pose is rigid (Pose::isRigid), and untracked with quality 0 when it is not (scaled, sheared, not
/// finite, a zero quaternion); its matrix is then the one sent, or the identity when that is not finite.
/// Thread-safe (no shared state).
class KELVAROS_API OpenIGTLinkMessageDecoder
{
public:
    /// Size of the fixed message header in bytes.
    static constexpr size_t headerSize = 58;
    /// Largest body accepted as genuine. A header announcing more is taken as garbage: the byte stream has lost
    /// its message boundaries. Images and meshes of real peers stay well below this.
    static constexpr uint64_t maximumBodySize = uint64_t(256) << 20;

    /// The fixed header of a message, byte order already converted.
    struct Header
    {
        uint16_t version = 0;
        std::string type;       ///< Message type ("TRANSFORM", "TDATA", ...).
        std::string deviceName; ///< Sender's device name; non-printable bytes replaced by '?'.
        uint64_t timestamp = 0; ///< OpenIGTLink time stamp: seconds in the high 32 bits, 2^-32 s in the low.
        uint64_t bodySize = 0;
        uint64_t crc = 0; ///< CRC-64 (ECMA-182) of the body, as sent.
    };

    /// A decoded tracking message.
    struct Message
    {
        Header header;
        /// header.timestamp in microseconds (0 when the sender left it unset).
        int64_t timestampMicroseconds = 0;
        /// One instrument per pose in the message, in message order.
        std::vector<TrackingInstrument> instruments;
    };

    /// Outcome of decoding: a message, or an error text suitable for a log line.
    struct Result
    {
        std::optional<Message> message;
        std::string error;
        /// True when even the header is implausible, so the boundary of the next message is unknown.
        bool framingLost = false;

        [[nodiscard]] bool ok() const { return message.has_value(); }
    };

    /// Reads the header at the start of `data`. Needs at least headerSize bytes. Returns the header, or an error
    /// with framingLost set when the header cannot be genuine (unknown version, non-text type, body size beyond
    /// maximumBodySize): then the body size cannot be trusted to find the next message.
    [[nodiscard]] static Result decodeHeader(const uint8_t* data, size_t size, Header& header);

    /// Decodes exactly one complete message (header followed by its body, `size` bytes in all).
    [[nodiscard]] static Result decode(const uint8_t* data, size_t size);

    /// OpenIGTLink time stamp → microseconds (rounded). 0 stays 0.
    [[nodiscard]] static int64_t timestampToMicroseconds(uint64_t timestamp);
    /// Microseconds → OpenIGTLink time stamp (rounded); negative values give 0.
    [[nodiscard]] static uint64_t microsecondsToTimestamp(int64_t microseconds);

    /// The message types this decoder turns into instruments.
    [[nodiscard]] static bool isTrackingType(const std::string& type);
};

} // namespace Kelvaros
