#pragma once

#include <memory>
#include <string>

#include "core/Export.h"
#include "lib/Data.h"

namespace Kelvaros
{

class Mesh;

/// A surface mesh opened by the user, placed in world space by Data::matrix.
class KELVAROS_API MeshData : public Data
{
public:
    MeshData(std::string name, std::shared_ptr<Mesh> mesh);
    ~MeshData() override;

    [[nodiscard]] Kind kind() const override { return Kind::Mesh; }
    [[nodiscard]] const std::shared_ptr<Mesh>& mesh() const { return m_mesh; }

private:
    std::shared_ptr<Mesh> m_mesh;
};

} // namespace Kelvaros
