#pragma once

#include <memory>
#include <string>

namespace Kelvaros
{

class Data;
class PointsOnTrackingStream;

/// Makes tracking streams take part in the host's paired-point registration: adds to PointCorrespondencesAlgorithm
/// a compatibility check (the data object is a TrackingStream) and a points-on-data factory of priority 2 that
/// hands out the stream's named PointsOnTrackingStream (pointsOnTrackingStream below). Counted: only the first
/// call adds the entries. Main thread, as at plug-in initialisation.
void registerTrackingStreamPoints();

/// Undoes one registerTrackingStreamPoints(); the last one takes the entries out of the host's registries, so
/// that none of them is left pointing into the plug-in once it is unloaded. Main thread.
void unregisterTrackingStreamPoints();

/// The point set called `name` of a tracking stream, kept in the stream's PointsStorageComponent (added when the
/// stream has none): the stored set when it is a PointsOnTrackingStream, otherwise a new one, stored under the name
/// and configured from the entry's stored configuration. Null for data that are not a tracking stream, and, with
/// an error in the log (category "PointsStorageComponent"), when the name holds a point set of another type.
/// User-interface thread.
std::shared_ptr<PointsOnTrackingStream> pointsOnTrackingStream(Data& data, const std::string& name);

} // namespace Kelvaros
