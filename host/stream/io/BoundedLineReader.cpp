#include "stream/io/BoundedLineReader.h"

namespace Kelvaros
{

BoundedLineReader::BoundedLineReader(std::istream& in) : m_in(in) {}

BoundedLineReader::Result BoundedLineReader::next(std::string& line)
{
    line.clear();
    std::streambuf* buffer = m_in.rdbuf();
    if (!buffer || !m_in.good())
        return Result::End;
    for (;;)
    {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof())
        {
            m_in.setstate(std::ios::eofbit);
            if (line.empty())
                return Result::End;
            ++m_lineNumber;
            return Result::Line;
        }
        if (c == '\n')
        {
            ++m_lineNumber;
            return Result::Line;
        }
        if (line.size() >= kMaxLineBytes)
        {
            ++m_lineNumber;
            return Result::TooLong;
        }
        line.push_back(char(c));
    }
}

} // namespace Kelvaros
