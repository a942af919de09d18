#include "gui/view/ImageViewSlice.h"

#include "gui/view/GlSliceView.h"
#include "gui/view/InteractionSlice.h"

namespace Kelvaros
{

ImageViewSlice::ImageViewSlice(Slice slice, QWidget* parent)
  : InteractiveView(std::make_unique<GlSliceView>(std::move(slice)), parent)
{
    auto interaction = std::make_unique<InteractionSlice>(sliceView(), *this);
    m_interaction = interaction.get();
    setInteractionHandler(std::move(interaction));
}

ImageViewSlice::~ImageViewSlice() = default;

GlSliceView& ImageViewSlice::sliceView() const
{
    return static_cast<GlSliceView&>(glView());
}

} // namespace Kelvaros
