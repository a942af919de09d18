#include "gui/view/FrameClock.h"

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include <QCoreApplication>

#include "gui/tracking/GlTrackingStream.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlView.h"
#include "stream/LatestTrackingSample.h"

#include "../GuiTestFixture.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"

namespace Kelvaros::Testing
{
namespace
{
struct FrameClockTest : GuiTest
{
    void SetUp() override
    {
        GuiTest::SetUp();
        openAndStart(live);
        display.resize(320, 240);
        display.setVisibleData(DataList{ &live });
        display.show();
    }

    const GlTrackingStream& drawn(int view) const
    {
        return *dynamic_cast<const GlTrackingStream*>(display.views()[size_t(view)]->glView().objects().front());
    }
    int paints() const
    {
        int sum = 0;
        for (const InteractiveView* view : display.views())
            sum += view->paintCount();
        return sum;
    }
    bool runUntil(const std::function<bool()>& done)
    {
        return waitUntil(
          [&]
          {
              QCoreApplication::processEvents();
              return done();
          });
    }

    ManualTrackingStream live;
    DisplayWidgetMulti display;
};

// Samples pushed as fast as a thread can while the four views paint: every view that paints within one frame of the
// display draws the sample that frame took, never a newer one that arrived while another view painted.
TEST_F(FrameClockTest, EveryViewDrawsTheSampleItsFrameTook)
{
    FrameClock& clock = display.views()[0]->glView().frameClock();
    std::map<uint64_t, std::set<uint64_t>> drawnInFrame;
    std::map<uint64_t, int> viewsInFrame;
    for (int v = 0; v < 4; ++v)
        QObject::connect(display.views()[size_t(v)], &InteractiveView::painted,
                         [&, v]
                         {
                             drawnInFrame[clock.frameCount()].insert(drawn(v).drawnSequence());
                             ++viewsInFrame[clock.frameCount()];
                         });
    std::atomic<bool> stop{ false };
    std::thread tracker(
      [&]
      {
          for (int counter = 1; !stop; ++counter)
          {
              live.push({ instrument("A", pose({ double(counter % 100), 0, 0 })) }, counter);
              std::this_thread::sleep_for(std::chrono::microseconds(100));
          }
      });
    const auto fullFrames = [&]
    { return std::count_if(viewsInFrame.begin(), viewsInFrame.end(), [](const auto& f) { return f.second >= 4; }); };
    const bool enough = runUntil([&] { return fullFrames() >= 20; });
    stop = true;
    tracker.join();
    ASSERT_TRUE(enough) << fullFrames() << " frames in which every view painted";
    for (const auto& [frame, sequences] : drawnInFrame)
        EXPECT_EQ(sequences.size(), 1u) << "frame " << frame << " drew samples " << *sequences.begin() << " to "
                                        << *sequences.rbegin();
}

// A tool standing still in front of a 60 Hz tracker repaints nothing; once its samples stop, it is greyed in one
// repaint.
TEST_F(FrameClockTest, AStillToolRepaintsNothingUntilItsSamplesStop)
{
    feed(live, { instrument("A", pose({ 5, 0, 0 })) });
    ASSERT_TRUE(runUntil([&] { return drawn(0).drawnSequence() == live.latest().sequence(); }));
    const int paintsBefore = paints();
    for (int i = 0; i < 12; ++i)
    {
        feed(live, { instrument("A", pose({ 5, 0, 0 })) });
        const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(16);
        while (std::chrono::steady_clock::now() < next)
            QCoreApplication::processEvents();
    }
    EXPECT_EQ(paints(), paintsBefore);
    ASSERT_TRUE(runUntil([&] { return !drawn(0).instrumentPoses().front().seen && paints() >= paintsBefore + 4; }));
}

} // namespace
} // namespace Kelvaros::Testing
