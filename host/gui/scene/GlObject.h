#pragma once

#include <string>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "core/Export.h"
#include "core/Signal.h"
#include "gui/scene/RenderInfo.h"

namespace Kelvaros
{

/// Something a view draws: a named, placed, showable object of the scene. Views hold objects without owning
/// them; the owner may delete an object while views still hold it (they drop it on signalDestroyed).
///
/// Used on the Qt main thread only, as everything drawn.
class KELVAROS_API GlObject
{
public:
    explicit GlObject(std::string name = {});
    virtual ~GlObject();
    GlObject(const GlObject&) = delete;
    GlObject& operator=(const GlObject&) = delete;

    [[nodiscard]] const std::string& name() const { return m_name; }
    void setName(std::string name);

    [[nodiscard]] bool visible() const { return m_visible; }
    virtual void setVisible(bool visible);

    /// Object → world placement (rigid in practice; any affine matrix is drawn as given).
    [[nodiscard]] const Eigen::Matrix4d& matrix() const { return m_matrix; }
    virtual void setMatrix(const Eigen::Matrix4d& matrix);

    /// Draws the object with the view's context current. The pipeline is free to use; other OpenGL state an
    /// object changes is restored before it returns (GL::StateGuard). Called only while visible().
    virtual void render(const RenderInfo& info) = 0;
    /// World-space box around what is drawn (for camera clipping planes and "show all"); empty when unknown.
    [[nodiscard]] virtual Eigen::AlignedBox3d bounds() const { return {}; }
    /// Transparent objects are drawn after the opaque ones, farthest first.
    [[nodiscard]] virtual bool isTransparent() const { return false; }

    /// Something that changes what is seen happened (views that show the object repaint).
    SignalImpl<> signalChanged;
    /// Emitted first thing in the destructor, with the object still intact.
    SignalImpl<const GlObject*> signalDestroyed;

protected:
    /// Setters that change what is seen call this.
    void changed() { signalChanged.emitSignal(); }
    /// bounds() helper: the world box around object-space points placed by matrix().
    [[nodiscard]] Eigen::AlignedBox3d worldBox(const Eigen::AlignedBox3d& objectBox) const;

private:
    std::string m_name;
    bool m_visible = true;
    Eigen::Matrix4d m_matrix = Eigen::Matrix4d::Identity();
};

} // namespace Kelvaros
