#pragma once

#include <cstddef>
#include <istream>
#include <string>

#include "core/Export.h"

namespace Kelvaros
{

/// Reads text lines from a stream, refusing any line longer than a limit: std::getline grows its string without
/// bound, so a file of NULs without a line feed would fill the memory before a reader could say what is wrong.
///
/// A line ends at '\n' (not kept); a last line without one is a line too. Not thread-safe.
class KELVAROS_API BoundedLineReader
{
public:
    /// The limit; far beyond the longest line of any text file read here (a few hundred bytes).
    static constexpr std::size_t kMaxLineBytes = std::size_t(1) << 20;

    enum class Result
    {
        Line,    ///< `line` holds the next line
        End,     ///< no more lines
        TooLong, ///< the line numbered lineNumber() is longer than the limit; reading should stop
    };

    explicit BoundedLineReader(std::istream& in);

    [[nodiscard]] Result next(std::string& line);
    /// The number of the line next() returned last, counted from 1.
    [[nodiscard]] int lineNumber() const { return m_lineNumber; }
    /// The limit in words for messages.
    [[nodiscard]] static const char* limitText() { return "1 MiB"; }

private:
    std::istream& m_in;
    int m_lineNumber = 0;
};

} // namespace Kelvaros
