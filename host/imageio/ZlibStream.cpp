#include "imageio/ZlibStream.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>
#include <zlib.h>

#include <fmt/format.h>

namespace Kelvaros
{

namespace
{
constexpr size_t kChunk = 256 * 1024;

struct GzCloser
{
    void operator()(gzFile file) const { gzclose(file); }
};
struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string tooLarge(uint64_t limit)
{
    return fmt::format("the compressed data inflate to more than the {} bytes announced", limit);
}

/// Feeds the next piece of input to the inflater; false when the file ends early.
bool refill(std::FILE* file, std::vector<unsigned char>& in, uint64_t& remaining, z_stream& stream)
{
    const size_t wanted = size_t(std::min<uint64_t>(remaining, in.size()));
    const size_t got = wanted ? std::fread(in.data(), 1, wanted, file) : 0;
    remaining -= got;
    stream.next_in = in.data();
    stream.avail_in = unsigned(got);
    return got > 0;
}

/// Inflates the open stream to its end, counting the output; the caller has positioned `file`.
std::optional<uint64_t> inflateCounting(std::FILE* file, uint64_t length, uint64_t limit, std::string& error)
{
    z_stream stream{};
    // 15 window bits plus 32: zlib and gzip headers are both recognised.
    if (inflateInit2(&stream, 15 + 32) != Z_OK)
    {
        error = "the decompressor could not be started";
        return std::nullopt;
    }
    std::vector<unsigned char> in(kChunk), out(kChunk);
    uint64_t total = 0;
    int status = Z_OK;
    while (status == Z_OK && total <= limit)
    {
        if (stream.avail_in == 0 && !refill(file, in, length, stream))
            break;
        stream.next_out = out.data();
        stream.avail_out = unsigned(out.size());
        status = inflate(&stream, Z_NO_FLUSH);
        total += out.size() - stream.avail_out;
    }
    const std::string message = stream.msg ? stream.msg : "";
    inflateEnd(&stream);
    if (status == Z_STREAM_END && total <= limit)
        return total;
    if (total > limit)
        error = tooLarge(limit);
    else if (status == Z_OK || status == Z_BUF_ERROR)
        error = fmt::format("the compressed data end early, after inflating to {} bytes", total);
    else
        error = fmt::format("the compressed data are corrupt ({})", message.empty() ? "inflate failed" : message);
    return std::nullopt;
}
} // namespace

std::optional<uint64_t> ZlibStream::gzipContentSize(const std::string& path, uint64_t limit, std::string& error)
{
    std::unique_ptr<gzFile_s, GzCloser> file(gzopen(path.c_str(), "rb"));
    if (!file)
    {
        error = "it cannot be opened";
        return std::nullopt;
    }
    std::vector<char> buffer(kChunk);
    uint64_t total = 0;
    int got = 0;
    while ((got = gzread(file.get(), buffer.data(), unsigned(buffer.size()))) > 0)
    {
        total += uint64_t(got);
        if (total > limit)
        {
            error = tooLarge(limit);
            return std::nullopt;
        }
    }
    int code = Z_OK;
    const char* message = gzerror(file.get(), &code);
    if (got == 0 && code == Z_OK)
        return total;
    error = code == Z_BUF_ERROR ? fmt::format("the compressed data end early, after inflating to {} bytes", total)
                                : fmt::format("the compressed data are corrupt ({})", message ? message : "");
    return std::nullopt;
}

std::optional<uint64_t> ZlibStream::inflatedSize(const std::string& path, uint64_t offset, uint64_t length,
                                                 uint64_t limit, std::string& error)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file || fseeko(file.get(), off_t(offset), SEEK_SET) != 0)
    {
        error = "it cannot be opened";
        return std::nullopt;
    }
    return inflateCounting(file.get(), length, limit, error);
}

} // namespace Kelvaros
