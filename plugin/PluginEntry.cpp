// The library's front door: the three exported entry points and what runs when the host loads the library.

#include <new>

#include <QtGlobal>

#include "lib/PluginAutoRegistrationGuard.h"
#include "lib/PluginExports.h"

#include "NavigationPlugin.h"

namespace
{
// Announces the plug-in to the host for as long as the library stays loaded.
const Kelvaros::PluginAutoRegistrationGuard g_registrationGuard(&Kelvaros::NavigationPlugin::id);
} // namespace

// Q_INIT_RESOURCE declares the resource tree's registration function where it is used, so it must be used outside
// any namespace. Calling it also makes the linker take the resource object out of its static library.
static void registerResources()
{
    Q_INIT_RESOURCE(navigation);
}

static void unregisterResources()
{
    Q_CLEANUP_RESOURCE(navigation);
}

namespace
{
// The embedded animations and sphere, registered after the guard above and unregistered before it at unload.
struct ResourceRegistration
{
    ResourceRegistration() { registerResources(); }
    ~ResourceRegistration() { unregisterResources(); }
};
const ResourceRegistration g_resources;
} // namespace

KELVAROS_PLUGIN_EXPORT Kelvaros::PluginBase* kelvarosCreatePlugin()
{
    // The host takes ownership and deletes the plug-in before it closes the library.
    return new (std::nothrow) Kelvaros::NavigationPlugin();
}

KELVAROS_PLUGIN_EXPORT const char* kelvarosPluginId()
{
    return "Kelvaros.Navigation";
}

KELVAROS_PLUGIN_EXPORT const char* const kelvarosPluginDescriptor =
  "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.4.6|buildflags=MSC_VER:1929,IDL:0|pluginversion=";
