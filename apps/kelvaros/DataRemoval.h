#pragma once

#include <string>
#include <vector>

namespace Kelvaros
{

class Algorithm;
class ApplicationController;
class Data;

/// What removing a data object takes with it, so that the user can be asked first and nothing is left pointing
/// at what went: the streams derived from it (a combined or smoothed stream follows its input and must go first,
/// and with it what was derived from it in turn) and the algorithms that close because they were made on any of
/// them. Main thread.
class DataRemoval
{
public:
    DataRemoval(ApplicationController& app, Data& data);

    /// The data in the order they must be removed: derived streams before their inputs, `data` last.
    [[nodiscard]] const std::vector<Data*>& order() const { return m_order; }
    /// The algorithms that close with the removal (those made on one of the data that do not survive it).
    [[nodiscard]] const std::vector<Algorithm*>& closing() const { return m_closing; }
    /// The question to ask before the removal; empty when it takes nothing but the data itself.
    [[nodiscard]] std::string question() const;
    /// Removes the data in order; the application closes the algorithms (and their panels) on the way.
    void run();

private:
    void collect(Data& data);

    ApplicationController& m_app;
    std::vector<Data*> m_order;
    std::vector<Algorithm*> m_closing;
};

} // namespace Kelvaros
