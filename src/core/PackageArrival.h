#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kestrel::core {

struct UpdateContext;

// What may follow the package's bytes as the download writes them to its file (the installation
// staging the package early). The download tells it where the file has got to; nothing it does
// changes the download's outcome.
class PackageArrival {
public:
    // Reads up to size bytes at offset: the count, or -1 on failure; called from another thread.
    using Reader = std::function<std::int64_t(std::int64_t offset, char *data, std::size_t size)>;
    // Starts writing those bytes of the file to the disk without waiting; from another thread.
    using WriteBack = std::function<void(std::int64_t offset, std::int64_t length)>;

    virtual ~PackageArrival() = default;
    // The file for context's package is new or taken up again; reader reads it from its first byte.
    virtual void begin(const UpdateContext &context, Reader reader, WriteBack writeBack) = 0;
    // The file now holds this many bytes.
    virtual void written(std::int64_t size) = 0;
    // The file is complete. True once the reader will not be called again; false when that has not
    // happened within waitMs.
    virtual bool complete(int waitMs) = 0;
    // The download failed or was abandoned: whatever was made of the bytes goes.
    virtual void discard() = 0;
};

} // namespace kestrel::core
