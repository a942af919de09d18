#pragma once

#include <string>

namespace Kelvaros
{

/// What the workbench makes of a file named on its command line or dropped on it: the kind of the File menu's
/// entry that opens it ("volume", "mesh", "workspace" or "recording"), told by its name and, for a MetaImage
/// file, by its header, since a tracking recording and a volume share the extension.
class FileKind
{
public:
    /// The kind, or empty with `why` saying what is wrong (missing, unreadable, a name that says nothing).
    [[nodiscard]] static std::string of(const std::string& path, std::string* why);

private:
    [[nodiscard]] static bool isTrackingSequence(const std::string& path);
};

} // namespace Kelvaros
