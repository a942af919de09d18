#include "gui/scene/GlObject.h"

namespace Kelvaros
{

GlObject::GlObject(std::string name) : m_name(std::move(name)) {}

GlObject::~GlObject()
{
    signalDestroyed.emitSignal(this);
}

void GlObject::setName(std::string name)
{
    m_name = std::move(name);
    changed();
}

void GlObject::setVisible(bool visible)
{
    if (visible == m_visible)
        return;
    m_visible = visible;
    changed();
}

void GlObject::setMatrix(const Eigen::Matrix4d& matrix)
{
    m_matrix = matrix;
    changed();
}

Eigen::AlignedBox3d GlObject::worldBox(const Eigen::AlignedBox3d& objectBox) const
{
    Eigen::AlignedBox3d box;
    if (objectBox.isEmpty())
        return box;
    for (int corner = 0; corner < 8; ++corner)
    {
        const Eigen::Vector3d p = objectBox.corner(Eigen::AlignedBox3d::CornerType(corner));
        box.extend((m_matrix * p.homogeneous()).hnormalized());
    }
    return box;
}

} // namespace Kelvaros
