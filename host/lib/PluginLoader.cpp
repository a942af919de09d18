#include "lib/PluginLoader.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dlfcn.h>
#include <exception>
#include <filesystem>
#include <set>
#include <utility>

#include "core/FileSystem.h"
#include "core/Log.h"
#include "core/String.h"
#include "lib/PluginBase.h"
#include "lib/PluginExports.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PluginLoader";

/// An open library handle; closing it is the last thing that happens to a library.
class Library
{
public:
    explicit Library(void* handle) : m_handle(handle) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { dlclose(m_handle); }

    [[nodiscard]] void* symbol(const char* name) const { return dlsym(m_handle, name); }

private:
    void* m_handle;
};

/// A library that passed the descriptor and identity checks and waits for its plug-in to be initialised.
/// The plug-in is declared after the library, so that a refused candidate destroys its plug-in object before the
/// library's code goes away. Candidates are held by pointer and never assigned: a member-wise move assignment
/// would close the target's library before destroying the target's plug-in.
struct Candidate
{
    Candidate() = default;
    Candidate(const Candidate&) = delete;
    Candidate& operator=(const Candidate&) = delete;

    std::string path;
    std::unique_ptr<Library> library;
    PluginLoader::Descriptor descriptor;
    std::string id;
    std::unique_ptr<PluginBase> plugin;
    std::vector<std::string> dependencies;
};

void refuse(const std::string& path, const std::string& reason)
{
    Log::logf(Log::Error, kCategory, "{}: {}", path, reason);
}

/// "major.minor[.patch]" with decimal numbers; empty when malformed.
std::optional<std::vector<int>> parseVersion(const std::string& text)
{
    const std::vector<std::string> pieces = String::split(text, ".");
    if (pieces.size() < 2 || pieces.size() > 3)
        return std::nullopt;
    std::vector<int> numbers;
    for (const std::string& piece : pieces)
    {
        if (piece.empty() || piece.size() > 6 ||
            !std::all_of(piece.begin(), piece.end(), [](unsigned char ch) { return std::isdigit(ch); }))
            return std::nullopt;
        numbers.push_back(std::stoi(piece));
    }
    return numbers;
}

std::string normalizedFolder(const std::string& folder)
{
    std::string normal = std::filesystem::path(folder).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}
} // namespace

using Staged = std::vector<std::unique_ptr<Candidate>>;

struct PluginLoader::Impl
{
    ApplicationController* controller = nullptr;
    std::vector<PluginInfo> infos;
    std::vector<std::unique_ptr<PluginBase>> plugins;
    std::vector<std::unique_ptr<Library>> libraries;

    bool isKnownId(const std::string& id, const Staged& staged) const
    {
        return std::any_of(infos.begin(), infos.end(), [&id](const PluginInfo& i) { return i.id == id; }) ||
               std::any_of(staged.begin(), staged.end(), [&id](const auto& c) { return c->id == id; });
    }

    bool isSatisfied(const std::string& dependency) const
    {
        const auto& modules = hostModules();
        return std::find(modules.begin(), modules.end(), dependency) != modules.end() ||
               std::any_of(infos.begin(), infos.end(),
                           [&dependency](const PluginInfo& i) { return i.id == dependency; });
    }

    /// Opens a library and checks its descriptor and identity. `scanning`: the file was found in a plug-in folder,
    /// so a library without a descriptor is simply not a plug-in.
    std::unique_ptr<Candidate> open(const std::string& path, bool scanning, const Staged& staged)
    {
        dlerror();
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
        {
            const char* error = dlerror();
            refuse(path, std::string("cannot open the library: ") + (error ? error : "unknown error"));
            return nullptr;
        }
        auto c = std::make_unique<Candidate>();
        c->path = path;
        c->library = std::make_unique<Library>(handle);

        const void* descriptorSymbol = c->library->symbol(PluginExports::pluginDescriptorSymbol);
        if (!descriptorSymbol)
        {
            if (scanning)
                Log::logf(Log::Debug, kCategory, "{}: no plug-in descriptor, not a plug-in", path);
            else
                refuse(path, "no plug-in descriptor (kelvarosPluginDescriptor)");
            return nullptr;
        }
        // The symbol is the pointer variable; the text is what it points to.
        const char* text = *static_cast<const char* const*>(descriptorSymbol);
        if (!text)
        {
            refuse(path, "the plug-in descriptor is null");
            return nullptr;
        }
        std::string reason;
        std::optional<Descriptor> descriptor = parseDescriptor(text, &reason);
        if (!descriptor)
        {
            refuse(path, reason);
            return nullptr;
        }
        c->descriptor = *descriptor;

        auto idFunction =
          reinterpret_cast<PluginExports::PluginIdFunction>(c->library->symbol(PluginExports::pluginIdSymbol));
        if (!idFunction)
        {
            refuse(path, "no plug-in identifier (kelvarosPluginId)");
            return nullptr;
        }
        const char* id = idFunction();
        c->id = id ? id : "";
        if (c->id.empty())
        {
            refuse(path, "empty plug-in identifier");
            return nullptr;
        }
        if (isKnownId(c->id, staged))
        {
            refuse(path, "plug-in " + c->id + " is already loaded");
            return nullptr;
        }
        return c;
    }

    /// Creates the plug-in object and asks for its dependencies; false (logged) when refused.
    bool create(Candidate& c)
    {
        auto createFunction =
          reinterpret_cast<PluginExports::CreatePluginFunction>(c.library->symbol(PluginExports::createPluginSymbol));
        if (!createFunction)
        {
            refuse(c.path, "no creation function (kelvarosCreatePlugin)");
            return false;
        }
        try
        {
            c.plugin.reset(createFunction());
            if (!c.plugin)
            {
                refuse(c.path, "kelvarosCreatePlugin returned no plug-in");
                return false;
            }
            c.dependencies = c.plugin->dependencies();
            return true;
        }
        catch (const std::exception& e)
        {
            refuse(c.path, std::string("creating the plug-in threw: ") + e.what());
        }
        catch (...)
        {
            refuse(c.path, "creating the plug-in threw an unknown exception");
        }
        return false;
    }

    /// setApplicationController, init, and on success hands the candidate over to the loaded plug-ins.
    PluginBase* initialise(Candidate& c)
    {
        int status = PluginBase::Failure;
        std::string failure;
        try
        {
            c.plugin->setApplicationController(controller);
            status = c.plugin->init();
        }
        catch (const std::exception& e)
        {
            failure = std::string("init threw: ") + e.what();
        }
        catch (...)
        {
            failure = "init threw an unknown exception";
        }
        if (failure.empty() && status != PluginBase::Success)
            failure = "init failed with status " + std::to_string(status);
        if (!failure.empty())
        {
            refuse(c.path, failure);
            return nullptr;
        }

        PluginBase* plugin = c.plugin.get();
        infos.push_back(
          { c.id, c.path, c.descriptor.hostVersion, c.descriptor.buildFlags, c.descriptor.pluginVersion, plugin });
        plugins.push_back(std::move(c.plugin));
        if (c.library)
            libraries.push_back(std::move(c.library));
        Log::logf(Log::Info, kCategory, "Loaded plug-in {} from {}", c.id, c.path);
        return plugin;
    }

    /// Opens, creates and initialises a batch of libraries, each plug-in after those of the batch it depends on.
    int loadBatch(const std::vector<std::string>& paths, bool scanning)
    {
        Staged staged;
        for (const std::string& path : paths)
            if (std::unique_ptr<Candidate> c = open(path, scanning, staged))
                staged.push_back(std::move(c));

        staged.erase(std::remove_if(staged.begin(), staged.end(), [this](const auto& c) { return !create(*c); }),
                     staged.end());

        int loaded = 0;
        bool progress = true;
        while (progress)
        {
            progress = false;
            for (auto it = staged.begin(); it != staged.end(); ++it)
            {
                if (!std::all_of((*it)->dependencies.begin(), (*it)->dependencies.end(),
                                 [this](const std::string& d) { return isSatisfied(d); }))
                    continue;
                if (initialise(**it))
                    ++loaded;
                staged.erase(it);
                progress = true;
                break;
            }
        }

        // What is left waits for a plug-in that is neither loaded nor a host module.
        for (const auto& c : staged)
        {
            for (const std::string& d : c->dependencies)
            {
                if (isSatisfied(d))
                    continue;
                const bool inBatch =
                  std::any_of(staged.begin(), staged.end(), [&d](const auto& o) { return o->id == d; });
                refuse(c->path, inBatch ? "dependency " + d + " could not be loaded" : "missing dependency " + d);
                break;
            }
        }
        return loaded;
    }
};

PluginLoader::PluginLoader(ApplicationController* controller) : m_impl(std::make_unique<Impl>())
{
    m_impl->controller = controller;
}

PluginLoader::~PluginLoader()
{
    unloadAll();
}

const char* PluginLoader::hostVersion()
{
    return KELVAROS_HOST_VERSION_STRING;
}

const std::vector<std::string>& PluginLoader::hostModules()
{
    static const std::vector<std::string> modules = { "Kelvaros.Core", "Kelvaros.Lib", "Kelvaros.Stream", "Kelvaros.GL",
                                                      "Kelvaros.Gui" };
    return modules;
}

std::optional<PluginLoader::Descriptor> PluginLoader::parseDescriptor(const std::string& text, std::string* reason)
{
    auto fail = [reason](std::string why) -> std::optional<Descriptor>
    {
        if (reason)
            *reason = std::move(why);
        return std::nullopt;
    };
    const std::vector<std::string> pieces = String::split(text, "|");
    if (pieces.front() != KELVAROS_PLUGIN_MAGIC_STRING)
        return fail("wrong magic string \"" + pieces.front() + "\" (not a V2 plug-in descriptor)");

    Descriptor descriptor;
    std::set<std::string> seen;
    for (size_t i = 1; i < pieces.size(); ++i)
    {
        const std::string& piece = pieces[i];
        if (piece.empty())
            continue;
        const size_t equals = piece.find('=');
        if (equals == std::string::npos || equals == 0)
            return fail("malformed descriptor piece \"" + piece + "\" (expected key=value)");
        const std::string key = piece.substr(0, equals);
        const std::string value = piece.substr(equals + 1);
        if (!seen.insert(key).second)
            return fail("descriptor key \"" + key + "\" given twice");
        if (key == "hostversion")
            descriptor.hostVersion = value;
        else if (key == "buildflags")
            descriptor.buildFlags = value;
        else if (key == "pluginversion")
            descriptor.pluginVersion = value;
    }
    if (!seen.count("hostversion"))
        return fail("the descriptor has no hostversion");

    const std::optional<std::vector<int>> plugin = parseVersion(descriptor.hostVersion);
    if (!plugin)
        return fail("malformed host version \"" + descriptor.hostVersion + "\"");
    const std::vector<int> host = *parseVersion(hostVersion());
    // A patch release keeps the binary interface; a minor or major release may change it.
    if ((*plugin)[0] != host[0] || (*plugin)[1] != host[1])
        return fail("built for host version " + descriptor.hostVersion + ", incompatible with this host (" +
                    hostVersion() + ")");
    return descriptor;
}

std::vector<std::string> PluginLoader::pluginFolders()
{
    std::vector<std::string> folders;
    auto addFolder = [&folders](const std::string& folder)
    {
        if (folder.empty())
            return;
        const std::string normal = normalizedFolder(folder);
        if (std::find(folders.begin(), folders.end(), normal) == folders.end())
            folders.push_back(normal);
    };
    addFolder(FileSystem::executableDirectory());
    if (const char* env = std::getenv("KELVAROS_PLUGIN_PATH"))
        for (const std::string& folder : String::split(env, ":", true))
            addFolder(folder);
    return folders;
}

PluginBase* PluginLoader::load(const std::string& path)
{
    const size_t before = m_impl->infos.size();
    m_impl->loadBatch({ path }, false);
    return m_impl->infos.size() > before ? m_impl->infos.back().plugin : nullptr;
}

int PluginLoader::loadFromFolders(const std::vector<std::string>& folders)
{
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    std::set<std::string> seen;
    for (const std::string& folder : folders)
    {
        std::error_code error;
        if (!fs::is_directory(folder, error))
        {
            Log::logf(Log::Debug, kCategory, "Plug-in folder {} does not exist", folder);
            continue;
        }
        std::vector<fs::path> files;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        {
            const fs::path& file = it->path();
            std::error_code fileError;
            if (file.extension() == ".so" && fs::is_regular_file(file, fileError))
                files.push_back(file);
        }
        if (error)
            Log::logf(Log::Warning, kCategory, "Cannot list plug-in folder {}: {}", folder, error.message());
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files)
        {
            std::error_code canonicalError;
            const fs::path canonical = fs::canonical(file, canonicalError);
            if (seen.insert(canonicalError ? file.string() : canonical.string()).second)
                paths.push_back(file.string());
        }
    }
    return m_impl->loadBatch(paths, true);
}

int PluginLoader::loadAll()
{
    return loadFromFolders(pluginFolders());
}

PluginBase* PluginLoader::addLinked(std::unique_ptr<PluginBase> plugin, const std::string& id)
{
    const std::string path = "(linked)";
    if (!plugin || id.empty())
    {
        refuse(path, plugin ? "empty plug-in identifier" : "no plug-in");
        return nullptr;
    }
    if (m_impl->isKnownId(id, {}))
    {
        refuse(path, "plug-in " + id + " is already loaded");
        return nullptr;
    }
    Candidate c;
    c.path = path;
    c.id = id;
    c.descriptor.hostVersion = hostVersion();
    c.plugin = std::move(plugin);
    for (const std::string& dependency : c.plugin->dependencies())
    {
        if (!m_impl->isSatisfied(dependency))
        {
            refuse(path, "missing dependency " + dependency);
            return nullptr;
        }
    }
    return m_impl->initialise(c);
}

void PluginLoader::unloadAll()
{
    for (auto it = m_impl->infos.rbegin(); it != m_impl->infos.rend(); ++it)
        Log::logf(Log::Debug, kCategory, "Unloading plug-in {}", it->id);
    m_impl->infos.clear();
    while (!m_impl->plugins.empty())
        m_impl->plugins.pop_back();
    while (!m_impl->libraries.empty())
        m_impl->libraries.pop_back();
}

const std::vector<PluginLoader::PluginInfo>& PluginLoader::plugins() const
{
    return m_impl->infos;
}

PluginBase* PluginLoader::plugin(const std::string& id) const
{
    for (const PluginInfo& info : m_impl->infos)
        if (info.id == id)
            return info.plugin;
    return nullptr;
}

} // namespace Kelvaros
