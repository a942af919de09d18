#pragma once

#include <utility>

namespace Kelvaros
{

class DataList;
class SharedImageSet;
class TrackingStream;

/// The one tracking stream and the one volume of a selection, as the algorithms that relate a tracker to an image
/// take them; both null unless the selection holds exactly one of each.
[[nodiscard]] std::pair<TrackingStream*, SharedImageSet*> streamAndVolume(const DataList& data);

} // namespace Kelvaros
