#pragma once

/// Marks a class or function of the host libraries as part of their public API. Everything else in a host
/// library or in a plug-in is hidden (the build compiles with hidden visibility by default).
#define KELVAROS_API __attribute__((visibility("default")))
