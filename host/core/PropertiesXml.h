#pragma once

#include <memory>
#include <string>
#include <unordered_set>

class QXmlStreamReader;
class QXmlStreamWriter;

namespace Kelvaros
{

class Properties;

/// Writes and parses the XML form of a Properties tree. Internal to KelvarosCore: use Properties::toXml,
/// fromXml, saveToXmlFile and loadFromXmlFile.
///
/// The format, one element per node and one empty element per parameter, everything in attributes:
///
///     <?xml version="1.0" encoding="UTF-8"?>
///     <properties name="SmoothedTrackingStream">
///       <param key="smoothingMode" value="2" default="2" type="8" attributes="values: 'None, Kalman Filter'"/>
///       <param key="offset" value="0 0.1 -2.5e-07" type="5"/>
///       <properties name="instrument">
///         <param key="id" value="Pointer" type="4"/>
///       </properties>
///     </properties>
///
/// - `properties`: attribute `name` (required, may be empty); contains `param` and `properties` elements, whose
///   order is kept; parameters and children may interleave in a hand-written file, they are written parameters
///   first.
/// - `param`: `key` (required, unique within its node), `value` (absent means empty text), `default` (absent
///   means no default, which differs from an empty default), `type` (a ParamType number; absent means 0),
///   `attributes` (the attribute string; absent means empty) and `label` (absent means empty). Attribute values carry
///   any text exactly: the writer escapes tab, line feed and carriage return as character references, which XML keeps,
///   where literal ones in attributes would be normalised to spaces.
/// - Text that XML cannot carry (bytes that are not UTF-8, control characters other than tab, line feed and
///   carriage return, U+FFFE/U+FFFF, a leading byte-order mark) makes the writer mark that element with
///   `encoding="base64"`: every text attribute of that element (name; or key, value, default, attributes and label)
///   is then the Base64 of its bytes. Nothing is lost in either case.
/// - Written with two-space indentation, attributes in the order shown, UTF-8, and a final line feed, so that a
///   tree written, read and written again gives the same bytes.
/// - Comments and processing instructions are skipped. Refused, with "<source>:<line>:<column>: <reason>" logged
///   at Error level in category "Properties" and null returned: anything not well-formed or truncated, a root
///   other than `properties`, an unknown element or attribute, a missing `name` or `key`, a duplicate key, a
///   `type` that is not an integer, invalid Base64, non-blank text between elements, a DTD, or nesting deeper
///   than 256 levels. Line and column are those QXmlStreamReader reports (column: characters read on the line).
/// - Also refused: a document larger than maxBytes (a file before it is opened), or one with more than maxElements
///   `properties` and `param` elements together. A workspace or a configuration is text of a few megabytes with at
///   most some ten thousand elements; without these bounds a gigabyte of tiny elements would build a tree several
///   times its size and end the program for want of memory. Within them the reader holds about five times the
///   document's size at most (a file of tiny parameters; see bench/core).
class PropertiesXml
{
public:
    /// What one document may make the reader build; a fuzzer lowers them.
    struct Limits
    {
        long long maxBytes;
        long long maxElements;
    };
    /// 64 MiB: far above any workspace or configuration, far below what would exhaust a workstation's memory.
    static constexpr long long maxBytes = 64LL << 20;
    /// A workspace holds some thousands; at this bound a document of the smallest parameters reads in about a tenth
    /// of a second and builds some 10 MB of tree, so even a refusal does not keep the workbench waiting.
    static constexpr long long maxElements = 50'000;
    static constexpr Limits defaultLimits{ maxBytes, maxElements };

    /// The XML text of a tree.
    static std::string write(const Properties& properties);
    /// Parses XML text; `sourceName` names it in log lines. Null on any error.
    static std::unique_ptr<Properties> read(const std::string& xml, const std::string& sourceName,
                                            const Limits& limits = defaultLimits);
    /// Writes atomically (AtomicFile: the old file stays when anything fails); false and an Error line on failure.
    static bool writeFile(const Properties& properties, const std::string& path);
    /// Reads a file as it parses it, never holding the whole text; null and an Error line naming the file (and line
    /// and column for parse errors) on failure. A pipe, a device or a folder is refused before it is opened, since
    /// reading one would block or never end.
    static std::unique_ptr<Properties> readFile(const std::string& path, const Limits& limits = defaultLimits);

    /// Deepest nesting of `properties` elements accepted when reading (the root is level 1).
    static constexpr int maxDepth = 256;

private:
    static std::unique_ptr<Properties> parse(QXmlStreamReader& reader, const std::string& sourceName,
                                             const Limits& limits);
    static void writeNode(QXmlStreamWriter& writer, const Properties& node);
    /// Reads the attributes of a `param` start element into the current node, whose keys so far are `keys` (kept
    /// beside it, so that a node of many parameters is checked for duplicates in linear time); false after raising
    /// a reader error.
    static bool readParam(QXmlStreamReader& reader, Properties& node, std::unordered_set<std::string>& keys);
};

} // namespace Kelvaros
