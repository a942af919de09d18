#pragma once

#include <string>

#include "core/Export.h"
#include "core/Properties.h"

namespace Kelvaros
{

class DataSources;
class GuiApplicationController;

/// A saved session: the data by their sources (volumes by path, streams with their settings and whether they
/// ran), every algorithm with its configuration, its inputs by name and whether its panel was open, the outputs
/// the algorithms made, the instruments' calibrations and each object's registration (Data::matrix).
///
/// The file is the XML form of one property tree, replaced atomically. Loading what was saved and saving again
/// gives the same bytes. Main thread only.
class KELVAROS_API Workspace
{
public:
    /// Neither is owned; both outlive this object.
    Workspace(GuiApplicationController& app, DataSources& sources);

    [[nodiscard]] Properties save() const;
    /// False with `error` set when the file cannot be written.
    bool saveToFile(const std::string& path, std::string* error) const;

    /// Replaces the session by the workspace. What cannot be opened (a volume that moved, say) is left out with
    /// the algorithms that need it and the rest is loaded; the returned text then names every missing piece in one
    /// message (also logged as one Error). Registration and calibration matrices that are not finite and rigid are
    /// such pieces. Empty when everything was loaded. A workspace beyond the bounds of WorkspaceReading is refused
    /// whole, naming it (`name`, its path if any), and the session is left as it was.
    std::string load(const Properties& workspace, const std::string& name = std::string());
    /// load() from a file; the error also covers a file that cannot be read.
    std::string loadFromFile(const std::string& path);
    /// The volume files the workspace opens, each once, so that they can be read ahead on other threads; none for a
    /// workspace load() would refuse.
    [[nodiscard]] static std::vector<std::string> volumeFiles(const Properties& workspace);

    /// Closes every panel and algorithm, then deletes every data object.
    void clear();

private:
    void saveData(Properties& node) const;
    void saveAlgorithms(Properties& node) const;
    void loadAlgorithm(const Properties& node, std::vector<std::string>& problems);

    GuiApplicationController& m_app;
    DataSources& m_sources;
};

} // namespace Kelvaros
