#pragma once

/// The C entry points of a plug-in library, as the host's PluginLoader looks them up. A plug-in includes this
/// header in the one source file that defines them:
///
///     KELVAROS_PLUGIN_EXPORT Kelvaros::PluginBase* kelvarosCreatePlugin() { return new MyPlugin; }
///     KELVAROS_PLUGIN_EXPORT const char* kelvarosPluginId() { return "Vendor.MyPlugin"; }
///     KELVAROS_PLUGIN_EXPORT const char* const kelvarosPluginDescriptor =
///         KELVAROS_PLUGIN_MAGIC_STRING "|hostversion=" KELVAROS_HOST_VERSION_STRING "|buildflags=|pluginversion=1.0";
///
/// The declarations below give the three names C linkage and default visibility, so that they are exported even
/// though the build hides every other symbol (the data symbol gets external linkage from the `extern`
/// declaration, although a namespace-scope const would otherwise be internal).

#include "lib/PluginBase.h"

/// The first "|"-separated piece of every descriptor this host accepts.
#define KELVAROS_PLUGIN_MAGIC_STRING "__KELVAROS_PLUGIN_V2_MAGIC_STRING__"
/// The host version a plug-in built against these headers declares (major.minor.patch); the loader accepts equal
/// major and minor numbers.
#define KELVAROS_HOST_VERSION_STRING "4.4.6"

#define KELVAROS_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

/// Creates the plug-in object; the host takes ownership (it deletes it through PluginBase's virtual destructor
/// before it closes the library). Null when the plug-in cannot be created.
KELVAROS_PLUGIN_EXPORT Kelvaros::PluginBase* kelvarosCreatePlugin();
/// The plug-in's unique identifier ("Kelvaros.Navigation"): a constant, NUL-terminated string.
KELVAROS_PLUGIN_EXPORT const char* kelvarosPluginId();
/// Points to the constant, NUL-terminated descriptor text:
/// "<magic>|hostversion=<major.minor.patch>|buildflags=<text>|pluginversion=<text>".
KELVAROS_PLUGIN_EXPORT const char* const kelvarosPluginDescriptor;

namespace Kelvaros::PluginExports
{
/// Types and names of the entry points, for the host's dlsym look-ups.
using CreatePluginFunction = PluginBase* (*)();
using PluginIdFunction = const char* (*)();
inline constexpr const char* createPluginSymbol = "kelvarosCreatePlugin";
inline constexpr const char* pluginIdSymbol = "kelvarosPluginId";
inline constexpr const char* pluginDescriptorSymbol = "kelvarosPluginDescriptor";
} // namespace Kelvaros::PluginExports
