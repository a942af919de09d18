#include "gui/scene/MeshCopies.h"

#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshClustering.h"

namespace Kelvaros
{
namespace
{
// Meshes smaller than this are drawn as they are: a coarser copy would save less than it costs to make.
constexpr std::size_t kFewestFacesToCopy = 2000;

MeshCopies::Result makeCopies(const Mesh& mesh, const std::atomic<bool>& stop)
{
    MeshCopies::Result result;
    result.meshEnclosesVolume = mesh.enclosesVolume();
    const std::size_t faces = mesh.faces().size();
    if (faces < kFewestFacesToCopy)
        return result;
    // Cubes of 1/8 of the box's diagonal and finer, while a copy still halves the triangles.
    const double diagonal = mesh.boundingBox().diagonal().norm();
    for (int k = 3; k <= 12 && !stop; ++k)
    {
        MeshClustering::Result copy = MeshClustering::simplify(mesh, diagonal / double(1 << k));
        if (2 * copy.mesh->faces().size() > faces)
            break;
        const bool encloses = copy.mesh->enclosesVolume();
        result.copies.push_back({ std::move(copy.mesh), copy.error, encloses });
    }
    return result;
}
} // namespace

MeshCopies::MeshCopies(const Mesh& mesh)
{
    // A small mesh gets no copies, and judging its closedness takes less than starting a thread.
    if (mesh.faces().size() < kFewestFacesToCopy)
    {
        m_result = makeCopies(mesh, m_stop);
        m_done = true;
        return;
    }
    m_thread = std::thread(
      [this, copy = std::make_shared<const Mesh>(mesh)]
      {
          m_result = makeCopies(*copy, m_stop);
          m_done.store(true, std::memory_order_release);
      });
}

MeshCopies::~MeshCopies()
{
    m_stop = true;
    wait();
}

const MeshCopies::Result* MeshCopies::result() const
{
    return m_done.load(std::memory_order_acquire) ? &m_result : nullptr;
}

void MeshCopies::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace Kelvaros
