#include <memory>

#include <gtest/gtest.h>

#include "stream/ManualTrackingStream.h"
#include "stream/StreamAlgorithm.h"

using namespace Kelvaros;

namespace
{
/// Owns the stream it creates until the host takes it, as the plug-in's stream-creating algorithms do.
class CreateManualStream final : public StreamAlgorithm
{
public:
    void compute() override
    {
        m_stream = std::make_unique<ManualTrackingStream>("Created");
        setStatus(m_stream->open() && m_stream->start() ? Success : Error);
    }
    [[nodiscard]] Stream* stream() const override { return m_stream.get(); }
    [[nodiscard]] std::string dataGroup() const override { return "Streams"; }

protected:
    void releaseStream() override { (void)m_stream.release(); }

private:
    std::unique_ptr<ManualTrackingStream> m_stream;
};
} // namespace

TEST(StreamAlgorithmBase, TakeOutputHandsTheStreamOverOnce)
{
    auto algorithm = std::make_unique<CreateManualStream>();
    EXPECT_TRUE(static_cast<Algorithm&>(*algorithm).takeOutput().isEmpty());
    algorithm->compute();
    ASSERT_EQ(algorithm->status(), Algorithm::Success);
    Stream* created = algorithm->stream();
    ASSERT_NE(created, nullptr);

    // Through the Algorithm interface, as the host calls it.
    Algorithm& asAlgorithm = *algorithm;
    OwningDataList output = asAlgorithm.takeOutput();
    EXPECT_EQ(algorithm->stream(), nullptr);
    EXPECT_TRUE(asAlgorithm.takeOutput().isEmpty());
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output.dataList()[0], static_cast<Data*>(created));
    EXPECT_EQ(algorithm->dataGroup(), "Streams");

    // The algorithm goes first; the stream, now the host's, keeps running until its owner drops it.
    algorithm.reset();
    EXPECT_TRUE(created->isRunning());
    auto owned = output.release();
    ASSERT_EQ(owned.size(), 1u);
    owned.clear();
}
