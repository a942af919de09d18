#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace Kelvaros
{

class Mesh;

/// The coarser copies of a mesh that a fine mesh seen small is drawn from, and whether the mesh and each copy
/// enclose a volume, made on a thread of their own: for a mesh of a million triangles that is seconds of work, which
/// must not hold up a frame. The work runs on a copy of the mesh, so the mesh may change meanwhile.
///
/// Internal to KelvarosGui. Main thread only (the work itself runs on its thread and touches nothing of the
/// caller's). Destroying it stops the work at the next copy and waits for that. A mesh too small to gain from
/// copies is judged at once, without a thread.
class MeshCopies
{
public:
    struct Copy
    {
        std::shared_ptr<const Mesh> mesh;
        /// How far it strays from the mesh (mesh units; see MeshClustering).
        double error = 0;
        bool enclosesVolume = false;
    };
    struct Result
    {
        bool meshEnclosesVolume = false;
        /// Coarsest first; each at least halves the triangles of the mesh. Empty for meshes too small to gain.
        std::vector<Copy> copies;
    };

    /// Starts the work on a copy of the mesh as it is now.
    explicit MeshCopies(const Mesh& mesh);
    ~MeshCopies();
    MeshCopies(const MeshCopies&) = delete;
    MeshCopies& operator=(const MeshCopies&) = delete;

    /// The result once the work is done; null before.
    [[nodiscard]] const Result* result() const;
    /// Waits for the work to end.
    void wait();

private:
    std::atomic<bool> m_done{ false };
    std::atomic<bool> m_stop{ false };
    Result m_result;
    std::thread m_thread;
};

} // namespace Kelvaros
