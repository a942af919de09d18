#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class Algorithm;
class AlgorithmController;
class DataList;

/// Builds the panel of an algorithm. A plug-in's factory knows its own algorithms and returns null for others.
class KELVAROS_API AlgorithmControllerFactory
{
public:
    /// `hidden`: as for AlgorithmFactory.
    AlgorithmControllerFactory(std::string name, bool hidden);
    AlgorithmControllerFactory(const AlgorithmControllerFactory&) = delete;
    AlgorithmControllerFactory& operator=(const AlgorithmControllerFactory&) = delete;
    virtual ~AlgorithmControllerFactory();

    /// The controller of the algorithm, or null when this factory has none for it. Called on the
    /// user-interface thread; the caller takes ownership.
    [[nodiscard]] virtual std::unique_ptr<AlgorithmController> create(Algorithm* algorithm) const = 0;
    /// The panels this factory offers for a selection of data itself rather than for an algorithm (a selected
    /// stream's own panel, say); not yet initialised, and each must not outlive the data it shows. The caller takes
    /// ownership. Called on the user-interface thread. None by default.
    [[nodiscard]] virtual std::vector<std::unique_ptr<AlgorithmController>> compatibleDataControllers(
      const DataList& data) const;

    [[nodiscard]] const std::string& name() const { return m_name; }
    [[nodiscard]] bool isHidden() const { return m_hidden; }

private:
    std::string m_name;
    bool m_hidden;
};

} // namespace Kelvaros
