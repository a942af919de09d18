#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Export.h"
#include "stream/TrackerID.h"
#include "stream/io/TrackingSample.h"

namespace Kelvaros
{

class AtomicFile;

/// Writes a tracking recording one sample at a time, in the layout TrackingSequenceFile describes (or as its CSV
/// export), so that a recording of any length needs memory for one sample only.
///
/// A file is written through AtomicFile: until close() succeeds the previous file under that name stays as it was,
/// and a failed or abandoned writer leaves no trace. The metafile's frame count is written as a fixed-width field
/// (the count followed by spaces), filled in at close(); the instruments' model and name lines follow the frames.
///
/// Without a path the text is kept in memory (text()), for callers that want the file's content.
///
/// Errors go to the log (category "SequenceFile"): the first refused sample with its reason, a write failure with
/// the system's reason. Not thread-safe: one thread at a time.
class KELVAROS_API TrackingSequenceWriter
{
public:
    enum class Format
    {
        Metafile,
        Csv
    };
    enum class Result
    {
        Written,
        /// The sample cannot be stored (see TrackingSequenceFile::write) and was left out; writing goes on.
        Refused,
        /// Writing failed (disk full, I/O error); every later call fails too.
        Failed
    };

    /// CSV when the name ends in ".csv", the metafile otherwise.
    [[nodiscard]] static Format formatFor(const std::string& path);

    /// Writes to a file (format from its name).
    explicit TrackingSequenceWriter(const std::string& path);
    TrackingSequenceWriter(const std::string& path, Format format);
    /// Keeps the text in memory.
    explicit TrackingSequenceWriter(Format format);
    ~TrackingSequenceWriter();
    TrackingSequenceWriter(const TrackingSequenceWriter&) = delete;
    TrackingSequenceWriter& operator=(const TrackingSequenceWriter&) = delete;

    /// Creates the temporary file and writes the header; false (logged) when the folder cannot take a file.
    [[nodiscard]] bool open();
    Result append(const TrackingSample& sample);
    /// Completes the header and replaces the old file; false (logged, old file kept) when anything failed.
    [[nodiscard]] bool close();

    [[nodiscard]] int64_t frames() const { return m_frames; }
    [[nodiscard]] int64_t refused() const { return m_refused; }
    /// "<path>: cannot write: <system reason>" after a failure, else empty.
    [[nodiscard]] const std::string& error() const { return m_error; }
    /// The whole text written so far (in-memory writers only).
    [[nodiscard]] const std::string& text() const { return m_text; }

private:
    [[nodiscard]] bool storable(const TrackingSample& sample) const;
    void rememberIdentities(const TrackingSample& sample);
    void appendMetafileFrame(const TrackingSample& sample);
    void appendCsvRows(const TrackingSample& sample);
    /// Hands the pending text to the file (an in-memory writer keeps it).
    [[nodiscard]] bool emit();
    /// Fills in the frame count reserved in the header.
    [[nodiscard]] bool writeCount();
    /// Takes the file's error, logs it once; always false.
    bool fail();

    Format m_format;
    std::unique_ptr<AtomicFile> m_file;
    std::string m_text;    // pending text for a file; everything for an in-memory writer
    int64_t m_written = 0; // bytes handed to the file
    int64_t m_countOffset = -1;
    int64_t m_frames = 0;
    int64_t m_refused = 0;
    bool m_failed = false;
    std::string m_error;
    // Identity of each instrument as first seen: one name per instrument and file.
    std::vector<TrackerID> m_identities;
    std::map<std::string, size_t> m_identityIndex;
    std::set<std::string> m_renamed;
};

} // namespace Kelvaros
