#pragma once

#include "gui/view/InteractiveView.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

class GlSliceView;
class InteractionSlice;

/// A slice view widget: a GlSliceView with InteractionSlice. Main thread only.
class KELVAROS_API ImageViewSlice : public InteractiveView
{
    Q_OBJECT

public:
    explicit ImageViewSlice(Slice slice = Slice(), QWidget* parent = nullptr);
    ~ImageViewSlice() override;

    [[nodiscard]] GlSliceView& sliceView() const;
    [[nodiscard]] InteractionSlice& interaction() const { return *m_interaction; }

private:
    InteractionSlice* m_interaction;
};

} // namespace Kelvaros
