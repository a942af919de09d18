#pragma once

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "stream/StreamAlgorithm.h"
#include "stream/TrackingStream.h"

#include "streams/StreamCreationMessage.h"

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
    /// A stream that was built but failed to open or start stays here and can still be taken. Every outcome leaves
    /// a sentence in statusMessage() (see StreamCreationMessage); a data list without a tracking stream builds
    /// nothing.
    void compute() override
    {
        const std::string menuEntry = factoryInfo().name;
        try
        {
            if (m_data.getAll<TrackingStream>().empty())
                throw MissingInput();
            m_owned = std::make_unique<StreamClass>(DataList(m_data));
            m_stream = m_owned.get();
            if (m_configuration)
                m_stream->configure(m_configuration.get());
            using StreamCreationMessage::Outcome;
            Outcome outcome = Outcome::Built;
            if (m_open)
            {
                outcome = m_stream->open() ? Outcome::Opened : Outcome::OpenFailed;
                if (m_start && outcome == Outcome::Opened)
                    outcome = m_stream->start() ? Outcome::Started : Outcome::StartFailed;
            }
            const bool ok = outcome != Outcome::OpenFailed && outcome != Outcome::StartFailed;
            setStatus(ok ? Success : Error,
                      StreamCreationMessage::afterBuilding(*m_stream, outcome, m_data, menuEntry));
        }
        catch (const std::exception& e)
        {
            Log::log(Log::Error, "", std::string("Could not instantiate a new Stream: ") + e.what());
            m_stream = nullptr;
            m_owned.reset();
            const bool missing = dynamic_cast<const MissingInput*>(&e) != nullptr;
            setStatus(Error, missing ? StreamCreationMessage::missingInput(menuEntry)
                                     : StreamCreationMessage::notBuilt(e.what()));
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
    /// The data holds no tracking stream to build on.
    struct MissingInput : std::runtime_error
    {
        MissingInput() : std::runtime_error("its input tracking stream is missing") {}
    };

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
