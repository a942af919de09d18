#pragma once

#include <vector>

#include <QPointF>

#include "ObjMesh.h"

namespace Kelvaros::Tools::Shapes
{

/// A UV sphere about the origin, poles on z: one vertex per pole and (bands - 1) rings of `steps` vertices,
/// normals pointing radially.
[[nodiscard]] ObjMesh sphere(float radius, int bands, int steps);
/// The surface swept by a profile of (radius, height) points turned about z, `segments` steps around. Every
/// profile segment gets vertices of its own, so the edges of the profile stay sharp; a point of radius 0 closes
/// the surface there. Outward is on the right of the profile walked from its first point (radius right, z up).
[[nodiscard]] ObjMesh lathe(const std::vector<QPointF>& profile, int segments);
/// A flat ring in the xy plane, centred on z = 0.
[[nodiscard]] ObjMesh ring(float innerRadius, float outerRadius, float thickness);
/// A pointer in its calibrated frame: the tip at the origin, the shaft along +z (towards the grip), millimetres.
/// The extended pointer carries a thin rod 150 mm ahead of its tip, along -z, that shows where the tool points.
[[nodiscard]] ObjMesh pointer(bool extended);
/// Three concentric rings in the xy plane with four ticks outside, facing +z; the centre stays open so that the
/// target behind it shows.
[[nodiscard]] ObjMesh bullseye();

} // namespace Kelvaros::Tools::Shapes
