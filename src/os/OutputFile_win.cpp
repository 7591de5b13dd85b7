#include "os/OutputFile.h"

#include <cerrno>
#include <cstdio>

namespace kestrel::os {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

std::FILE *file(std::intptr_t handle)
{
    return reinterpret_cast<std::FILE *>(handle);
}

} // namespace

OutputFile::~OutputFile()
{
    if (m_handle != -1)
        std::fclose(file(m_handle));
}

std::error_code OutputFile::open(const std::filesystem::path &path, unsigned)
{
    std::FILE *opened = _wfopen(path.c_str(), L"wb");
    if (!opened)
        return lastError();
    m_handle = reinterpret_cast<std::intptr_t>(opened);
    m_position = 0;
    return {};
}

std::error_code OutputFile::writeAt(std::int64_t offset, const void *data, std::size_t size)
{
    if (offset != m_position) {
        if (_fseeki64(file(m_handle), offset, SEEK_SET) != 0)
            return lastError();
        m_position = offset;
    }
    if (std::fwrite(data, 1, size, file(m_handle)) != size)
        return lastError();
    m_position += static_cast<std::int64_t>(size);
    return {};
}

// Windows has no such hint: its lazy writer starts within a second or so by itself.
void OutputFile::startWriteBack(std::int64_t, std::int64_t) const {}

std::error_code OutputFile::close()
{
    std::FILE *opened = m_handle == -1 ? nullptr : file(m_handle);
    m_handle = -1;
    if (opened && std::fclose(opened) != 0)
        return lastError();
    return {};
}

} // namespace kestrel::os
