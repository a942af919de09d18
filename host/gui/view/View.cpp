#include "gui/view/View.h"

namespace Kelvaros::GUI
{

View::~View() = default;

void View::setVisibleData(const DataList& data)
{
    m_visibleData = data;
}

} // namespace Kelvaros::GUI
