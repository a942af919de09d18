#pragma once

#include "lib/Data.h"

#include "GeometryTestSupport.h"
#include "PointSignalLog.h"

namespace Kelvaros::Testing
{

/// A data object of no particular kind, for point sets that only need an owner with a placement.
class PlainData : public Data
{
public:
    [[nodiscard]] Kind kind() const override { return Kind::PointSet; }
};

} // namespace Kelvaros::Testing
