#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Properties.h"

namespace Kelvaros::Nav
{

/// The configuration of the plug-in's live point registration that holds these pairs, as its panel would hold them
/// after the user took them: tracked points (tracker space, mm) of the instrument `pointer`, paired by order with
/// image points (image coordinates of the volume, mm), registered as global tracking.
Properties registrationPairs(const std::vector<Eigen::Vector3d>& tracked, const std::vector<Eigen::Vector3d>& image,
                             const std::string& pointer);

} // namespace Kelvaros::Nav
