#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Export.h"
#include "stream/io/TrackingSample.h"

namespace Kelvaros
{

class TrackingSequence;

/// Reads and writes tracking recordings as sequence metafiles, the text header format that common open-source
/// navigation toolkits exchange (an image header with zero-sized frames whose per-frame fields hold the
/// transforms), and exports them as CSV.
///
/// File layout written (one `key = value` per line, frames numbered from 0 without gaps, in order):
///
///     ObjectType = Image
///     NDims = 3
///     ... (AnatomicalOrientation, BinaryData, CompressedData, DimSize = 0 0 <frames, padded with spaces to a
///         fixed width>, ElementSpacing, Offset, TransformMatrix, ElementType, Kinds)
///     Seq_Frame0000_<Id>ToTrackerTransform = <16 numbers, row-major, mm>
///     Seq_Frame0000_<Id>ToTrackerTransformStatus = OK | INVALID
///     Seq_Frame0000_<Id>ToTrackerTransformQuality = <quality>
///     Seq_Frame0000_Timestamp = <seconds of the device clock>
///     ...
///     Kelvaros_Instrument_<Id>_Model = <model>        (optional, only when not empty)
///     Kelvaros_Instrument_<Id>_Name = <display name>  (optional, only when it differs from the id)
///     ElementDataFile = LOCAL
///
/// The file is written as the frames come (TrackingSequenceWriter): the count is filled in at the end, and the
/// instrument lines, learnt on the way, follow the frames; the reader takes them before or after the frames.
///
/// Every double is written in its shortest round-trip form and timestamps as exact decimal seconds with six
/// fractional digits, so that a file written here reads back to identical samples. An instrument absent from a
/// sample has no fields in that frame. The per-instrument timestamp of a TrackingInstrument is not stored: on
/// reading it is the frame's timestamp. Sample components (raw fiducials) are not stored.
///
/// Reading is strict: any malformed input (a line that is not `key = value`, a duplicate key, a missing or wrong
/// header field, a frame count that disagrees with DimSize, frames missing or out of order, a transform without
/// its status or the reverse, a wrong number of matrix entries, a non-number, NaN or infinity, a matrix whose last
/// row is not 0 0 0 1, an unknown status, data after ElementDataFile) is refused as a whole with one Error in the
/// log (category "SequenceFile") naming the file, the line, the frame and the field. Statuses written by other
/// tools for an invisible tool (MISSING, OUT_OF_VIEW, ...) read as untracked. Quality defaults to 1 for OK and 0
/// otherwise when absent. Questionable content is read and reported with one Warning per kind that gives the count
/// and the first frame: per-frame fields this reader does not know (left out), time stamps that are negative or
/// earlier than the frame before (kept), and tracked poses that are not rigid (Pose::isRigid) or not finite (read
/// as untracked with quality 0). A folder or an empty file is refused saying so, a pipe or a device before it is
/// opened (it would block or never end), and a line longer than 1 MiB (BoundedLineReader) before it is held whole.
///
/// All functions are stateless and may be called from any thread.
class KELVAROS_API TrackingSequenceFile
{
public:
    /// Reads a sequence file; empty optional (after an Error in the log) when it cannot be read or is malformed.
    [[nodiscard]] static std::optional<std::vector<TrackingSample>> read(const std::string& path);
    /// Parses the text of a sequence file; `source` names it in log messages.
    [[nodiscard]] static std::optional<std::vector<TrackingSample>> parse(std::string_view text,
                                                                          const std::string& source);

    /// Writes the samples; false (after an Error in the log) when an instrument id cannot be a field name (empty,
    /// white space, '=' or control characters), an instrument appears twice in one sample, a number is not
    /// finite, a matrix's last row is not 0 0 0 1, or the file cannot be written.
    [[nodiscard]] static bool write(const std::string& path, const std::vector<TrackingSample>& samples);
    /// The text write() would store, or an empty optional (after an Error) for the same refusals.
    [[nodiscard]] static std::optional<std::string> format(const std::vector<TrackingSample>& samples);

    /// CSV export, one row per instrument and frame: `frame,timestamp,instrument,tracked,quality,m00,m01,...,m33`
    /// (timestamp in seconds, matrix row-major, mm). Same refusals as write() for non-finite numbers.
    [[nodiscard]] static bool writeCsv(const std::string& path, const std::vector<TrackingSample>& samples);
    [[nodiscard]] static std::optional<std::string> formatCsv(const std::vector<TrackingSample>& samples);

    /// One TrackingSequence per instrument, in the order the instruments first appear, named after the
    /// instrument's display name (its id when that is empty) and holding every frame the instrument appears in.
    [[nodiscard]] static std::vector<std::unique_ptr<TrackingSequence>> toSequences(
      const std::vector<TrackingSample>& samples);
    /// The inverse: merges sequences (one per instrument; null entries are skipped) into samples. Samples of
    /// different sequences with equal timestamps form one frame (the n-th sample of each sequence with a given
    /// timestamp pairs with the n-th of the others); frames are ordered by timestamp, then by that rank, and list
    /// their instruments in the order of the sequences. Calibration and registration of the sequences are not
    /// part of the samples.
    [[nodiscard]] static std::vector<TrackingSample> fromSequences(
      const std::vector<const TrackingSequence*>& sequences);
};

} // namespace Kelvaros
