#include "imageio/ItkSupport.h"

#include <itkMacro.h>
#include <itkObjectFactory.h>
#include <itkOutputWindow.h>
#include <mutex>
#include <regex>
#include <sstream>

#include "core/Log.h"

namespace Kelvaros::ItkSupport
{

namespace
{
const char* const kCategory = "VolumeIO";

std::string trimmed(const std::string& line)
{
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

/// ITK's output window prints to stderr, where a workbench user never looks; the host log reaches every sink.
class LogOutputWindow : public itk::OutputWindow
{
public:
    ITK_DISALLOW_COPY_AND_MOVE(LogOutputWindow);
    using Self = LogOutputWindow;
    using Pointer = itk::SmartPointer<Self>;
    itkNewMacro(Self);

    void DisplayText(const char* text) override { forward(Log::Info, text); }
    void DisplayErrorText(const char* text) override { forward(Log::Error, text); }
    // ITK warns about what it recovers from ("No Series were found" before a refusal we report ourselves, NIfTI
    // orientation fix-ups); a refusal is ours to report, so its remarks are information.
    void DisplayWarningText(const char* text) override { forward(Log::Info, text); }
    void DisplayDebugText(const char* text) override { forward(Log::Debug, text); }

protected:
    LogOutputWindow() = default;

private:
    static void forward(int level, const char* text)
    {
        const std::string line = usefulLine(text ? text : "");
        if (!line.empty())
            Log::log(level, kCategory, line);
    }
};
} // namespace

std::string usefulLine(const std::string& text)
{
    static const std::regex location(R"(^(ERROR|WARNING|Debug|Generic)?:? ?In .*, line \d+$)");
    static const std::regex objectPrefix(R"(^((itk::|ITK )(ERROR|WARNING): )?\w+ ?\(0x[0-9a-fA-F]+\): ?)");
    // NRRD's library reports a chain from the outermost call ("trouble reading") to the innermost, the cause.
    static const std::regex chainLink(R"(^\[\w+\] \w+:\s*(.*)$)");
    std::istringstream lines(text);
    std::string line;
    std::string leadIn;
    std::string cause;
    while (std::getline(lines, line))
    {
        line = trimmed(std::regex_replace(trimmed(line), objectPrefix, ""));
        std::smatch link;
        if (std::regex_match(line, link, chainLink))
            cause = link[1].length() > 0 ? link[1].str() : cause;
        else if (!cause.empty())
            break;
        // A line ending in ':' announces the detail that follows; keep it only as a fallback.
        else if (!line.empty() && line.back() == ':' && leadIn.empty())
            leadIn = line.substr(0, line.size() - 1);
        else if (!line.empty() && line.back() != ':' && !std::regex_match(line, location))
            return line;
    }
    return cause.empty() ? leadIn : cause;
}

std::string reason(const itk::ExceptionObject& exception)
{
    const std::string line = usefulLine(exception.GetDescription());
    return line.empty() ? std::string("unknown error in the image library") : line;
}

const char* voxelTypeName(itk::IOComponentEnum type)
{
    using C = itk::IOComponentEnum;
    switch (type)
    {
        case C::UCHAR:
            return "uint8";
        case C::CHAR:
            return "int8";
        case C::USHORT:
            return "uint16";
        case C::SHORT:
            return "int16";
        case C::UINT:
            return "uint32";
        case C::INT:
            return "int32";
        case C::ULONG:
        case C::ULONGLONG:
            return "uint64";
        case C::LONG:
        case C::LONGLONG:
            return "int64";
        case C::FLOAT:
            return "float32";
        case C::DOUBLE:
            return "float64";
        default:
            return "unknown";
    }
}

void routeMessagesToLog()
{
    static std::once_flag once;
    std::call_once(once, [] { itk::OutputWindow::SetInstance(LogOutputWindow::New()); });
}

} // namespace Kelvaros::ItkSupport
