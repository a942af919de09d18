#pragma once

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "stream/StreamAlgorithm.h"

namespace Kelvaros
{

/// Creates one derived stream of class StreamClass on the selected data, configures it with what was last given
/// to configure, and opens and starts it. The stream leaves through takeOutput and then belongs to the host; the
/// algorithm still reaches it (configure, configuration, stream()) until the host calls releaseStream.
///
/// StreamClass needs a constructor from a DataList (which may throw to refuse the data) and, for the creation rule
/// in StreamCreationRule.h, a static isCompatible(const DataList&).
/// DefaultOpen and DefaultStart are the initial values of the open and start flags.
template<typename StreamClass, bool DefaultOpen = true, bool DefaultStart = true>
class CreateStreamAlgorithm final : public StreamAlgorithm
{
public:
    explicit CreateStreamAlgorithm(const DataList& data) : m_data(data) {}

    /// Keeps a copy of the properties (forwarded to the stream when it exists) and reads the flags:
    /// open from "open", else "autoOpen", else "connect"; start from "start", else "autoStart".
    /// A flag whose keys are all absent keeps its value.
    void configure(const Properties* properties) override
    {
        if (!properties)
            return;
        m_configuration = std::make_unique<Properties>(*properties);
        if (m_stream)
            m_stream->configure(properties);
        readFlag(*properties, { "open", "autoOpen", "connect" }, m_open);
        readFlag(*properties, { "start", "autoStart" }, m_start);
    }

    /// The stream's own configuration once it exists; before that, the properties last given to configure.
    void configuration(Properties* properties) const override
    {
        if (!properties)
            return;
        if (m_stream)
            m_stream->configuration(properties);
        else if (m_configuration)
            properties->copyFrom(*m_configuration);
    }

    /// Builds the stream; status 0 when it was built (and opened and started as the flags ask), 1 otherwise.
    /// A stream that was built but failed to open or start stays here and can still be taken.
    void compute() override
    {
        try
        {
            m_owned = std::make_unique<StreamClass>(DataList(m_data));
            m_stream = m_owned.get();
            if (m_configuration)
                m_stream->configure(m_configuration.get());
            bool ok = true;
            if (m_open)
            {
                ok = m_stream->open();
                if (m_start)
                    ok = ok && m_stream->start();
            }
            setStatus(ok ? Success : Error);
        }
        catch (const std::exception& e)
        {
            Log::log(Log::Error, "", std::string("Could not instantiate a new Stream: ") + e.what());
            m_stream = nullptr;
            m_owned.reset();
            setStatus(Error);
        }
    }

    [[nodiscard]] Stream* stream() const override { return m_stream; }
    [[nodiscard]] StreamClass* createdStream() const { return m_stream; }
    [[nodiscard]] bool openFlag() const { return m_open; }
    [[nodiscard]] bool startFlag() const { return m_start; }

    void releaseStream() override
    {
        m_stream = nullptr;
        m_owned.reset();
    }

protected:
    std::unique_ptr<Stream> handOverStream() override { return std::move(m_owned); }

private:
    static void readFlag(const Properties& properties, std::initializer_list<const char*> keys, bool& flag)
    {
        for (const char* key : keys)
            if (properties.param(key, flag))
                return;
    }

    // Owned until takeOutput hands it to the host, so that a stream nobody took is closed and freed with the
    // algorithm instead of leaking with its input connections. m_stream is the created stream whoever owns it.
    std::unique_ptr<StreamClass> m_owned;
    StreamClass* m_stream = nullptr;
    DataList m_data;
    std::unique_ptr<Properties> m_configuration;
    bool m_open = DefaultOpen;
    bool m_start = DefaultStart;
};

} // namespace Kelvaros
