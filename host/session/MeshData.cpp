#include "session/MeshData.h"

#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

MeshData::MeshData(std::string name, std::shared_ptr<Mesh> mesh) : Data(std::move(name)), m_mesh(std::move(mesh)) {}

MeshData::~MeshData() = default;

} // namespace Kelvaros
