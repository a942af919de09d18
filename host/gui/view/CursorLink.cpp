#include "gui/view/CursorLink.h"

#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "gui/view/InteractionSlice.h"

namespace Kelvaros
{

CursorLink::CursorLink(DisplayWidgetMulti& display) : QObject(&display), m_view3D(display.view3D())
{
    for (int k = 0; k < 3; ++k)
    {
        ImageViewSlice* view = display.viewSlice(k);
        m_slices[size_t(k)] = view;
        view->interaction().setCursor(&m_cursor);
        view->glView().addObject(&m_crosshair);
        // Any change of a slice view (scroll, pan, a new slice) may have moved its plane.
        view->glView().signalRedrawNeeded.connect(this, [this] { updateVolumePlanes(); });
    }
    m_view3D->glView().addObject(&m_crosshair);
    m_cursor.signalMoved.connect(this, &CursorLink::follow);
    updateVolumePlanes();
}

CursorLink::~CursorLink()
{
    disconnectAll();
    for (ImageViewSlice* view : m_slices)
        if (view)
        {
            view->interaction().setCursor(nullptr);
            view->glView().removeObject(&m_crosshair);
        }
    if (m_view3D)
    {
        m_view3D->glView().removeObject(&m_crosshair);
        m_view3D->volumeView().setVolumePlanes({});
    }
}

void CursorLink::follow(const Eigen::Vector3d& point)
{
    for (ImageViewSlice* view : m_slices)
    {
        if (!view)
            continue;
        GlSliceView& slice = view->sliceView();
        const Slice through = ViewCursor::sliceThrough(slice.slice(), point);
        if (through.pose() != slice.slice().pose())
            slice.setSlice(through);
    }
    m_crosshair.setPosition(point);
    emit cursorMoved(point.x(), point.y(), point.z());
}

void CursorLink::updateVolumePlanes()
{
    std::vector<Slice> planes;
    for (const ImageViewSlice* view : m_slices)
        if (view)
            planes.push_back(view->sliceView().slice());
    if (m_view3D)
        m_view3D->volumeView().setVolumePlanes(planes);
}

} // namespace Kelvaros
