#include "DerivedStream.h"

#include "core/Properties.h"
#include "lib/Algorithm.h"
#include "stream/TrackingStream.h"

#include "HostSession.h"

namespace Kelvaros::Nav
{

const char* const kSmoothedStreamAlgorithm = "Navigation.CreateStreamSmoothedTrackingStream";

TrackingStream* createDerivedStream(HostSession& session, Data& input, std::optional<std::string> algorithmId,
                                    const std::optional<std::string>& configurationPath, std::string* error, bool start)
{
    std::unique_ptr<Properties> configuration;
    if (configurationPath && !(configuration = Properties::loadFromXmlFile(*configurationPath)))
    {
        *error = *configurationPath + ": refused (see the message above)";
        return nullptr;
    }
    // `config` names the configuration after its algorithm, so a file alone says which stream it makes.
    if (!algorithmId && configuration && !configuration->name().empty())
        algorithmId = configuration->name();
    const std::string id = algorithmId.value_or(kSmoothedStreamAlgorithm);

    Algorithm* algorithm = session.app().createAlgorithm(id, DataList{ &input });
    if (!algorithm)
    {
        *error = "cannot create " + id + " on the tracking stream";
        return nullptr;
    }
    if (!start)
    {
        if (!configuration)
            configuration = std::make_unique<Properties>(id);
        configuration->setParam("start", false);
    }
    if (configuration)
        algorithm->configure(configuration.get());
    std::vector<Data*> outputs;
    const int status = session.app().runAlgorithm(algorithm, &outputs);
    auto* stream = outputs.empty() ? nullptr : dynamic_cast<TrackingStream*>(outputs.front());
    if (status != Algorithm::Success || !stream)
    {
        *error = id + " did not create a running tracking stream";
        return nullptr;
    }
    return stream;
}

} // namespace Kelvaros::Nav
