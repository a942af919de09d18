#pragma once

// Field names and value rules shared by the sequence-file reader and writer (internal to KelvarosStream).

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include <Eigen/Core>

namespace Kelvaros::SequenceFileFormat
{

constexpr const char* kCategory = "SequenceFile";
constexpr std::string_view kFramePrefix = "Seq_Frame";
constexpr std::string_view kInstrumentPrefix = "Kelvaros_Instrument_";
constexpr std::string_view kTransformSuffix = "ToTrackerTransform";
constexpr std::string_view kStatusSuffix = "ToTrackerTransformStatus";
constexpr std::string_view kQualitySuffix = "ToTrackerTransformQuality";
// Largest |timestamp| in seconds whose microseconds still fit an int64 with margin.
constexpr int64_t kMaxTimestampSeconds = 9'000'000'000'000LL;

inline bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

inline std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

inline bool hasRigidLastRow(const Eigen::Matrix4d& matrix)
{
    return matrix(3, 0) == 0.0 && matrix(3, 1) == 0.0 && matrix(3, 2) == 0.0 && matrix(3, 3) == 1.0;
}

/// Whether a text survives as a header value or a field name part: no control characters, and no white space at
/// either end (values are trimmed on reading).
inline bool isStorableValue(const std::string& text)
{
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return false;
    return trimmed(text).size() == text.size();
}

inline bool isStorableId(const std::string& id)
{
    return !id.empty() && isStorableValue(id) &&
           std::none_of(id.begin(), id.end(), [](char c) { return c == '=' || isSpace(c); });
}

} // namespace Kelvaros::SequenceFileFormat
