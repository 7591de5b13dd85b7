#pragma once

// Staging a zip package while it is still arriving. A thread of its own reads the package file
// as the download writes it, entry after entry from the local headers, checks each entry by the
// rules of the ordinary installation and writes it into the staging folder. Nothing it learns
// is trusted: the installation keeps what it staged only when the complete package's central
// directory lists exactly those entries (same names, offsets, sizes, CRC-32s, nothing more);
// otherwise it drops it and stages the package the ordinary way. Whatever it cannot read for
// sure (sizes given after the data, names it cannot decode as the ordinary reader does, low
// free space) ends the early staging, never the installation.

#include "install/EngineTypes.h"
#include "install/PackageReader.h"
#include "install/Staging.h"
#include "install/ZipLayout.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::install {

// One entry as it was staged: its local header and the data as read.
struct StreamedEntry {
    ZipRecord record;
    PlannedEntry planned;
};

// What the early staging wrote. Its staging folder goes with it unless the installation adopts it.
class StagedStream {
public:
    explicit StagedStream(const std::filesystem::path &folder);
    ~StagedStream();
    StagedStream(const StagedStream &) = delete;
    StagedStream &operator=(const StagedStream &) = delete;

    // True when listing and plan, read from the complete package, describe exactly what was
    // staged; the permission bits the stream could not know are then set as planned.
    bool matches(const ZipListing &listing, const Plan &plan);
    // The installation takes the staging over: it no longer goes with this object.
    Staging adopt(InstallObserver &observer);

    Staging staging;
    bool created = false;  // the folder exists and is ours to remove
    std::vector<StreamedEntry> entries;
    std::uint64_t end = 0;  // where the first bytes that begin no entry lie
};

class ArrivingPackage {
public:
    // Reads up to size bytes at offset: the count, or -1 on failure. Called on the staging's thread.
    using Reader = std::function<std::int64_t(std::int64_t offset, char *data, std::size_t size)>;
    // Starts writing those bytes of the package file to the disk, without waiting.
    using WriteBack = std::function<void(std::int64_t offset, std::int64_t length)>;

    ArrivingPackage() = default;
    ~ArrivingPackage();  // discards
    ArrivingPackage(const ArrivingPackage &) = delete;
    ArrivingPackage &operator=(const ArrivingPackage &) = delete;

    // A new early staging of the package that reader reads from its first byte; package is
    // where the complete package will lie (the staging goes beside it), target the folder it updates.
    // The bytes read and the files staged are sent to the disk as the staging goes (writeBack for
    // the package's), so that the flush before the switch-over finds little left to write.
    void start(const std::filesystem::path &package, const std::filesystem::path &target, Reader reader,
               WriteBack writeBack = nullptr);
    // The file now holds this many bytes.
    void written(std::int64_t size);
    // No byte follows. True once the thread reads no more (the reader is not called again);
    // false when it has not got there within wait.
    bool finish(std::chrono::milliseconds wait);
    // Stops the thread and removes whatever it staged.
    void discard();
    // After finish: what was staged when the package was read up to its central directory,
    // else null. observer is kept busy while the staging is flushed.
    std::unique_ptr<StagedStream> take(InstallObserver &observer);

private:
    void run(std::filesystem::path package, std::filesystem::path target);
    // Waits until the file holds end bytes, and answers how many it holds: fewer when no more
    // will come, 0 when the staging stops.
    std::uint64_t waitFor(std::uint64_t end);

    Reader m_reader;
    WriteBack m_writeBack;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_written = 0;
    bool m_complete = false;  // no byte follows
    bool m_stop = false;
    bool m_reading = false;   // the thread may still call the reader
    bool m_running = false;   // the thread has not handed its result yet
    std::unique_ptr<StagedStream> m_result;
    std::thread m_thread;
};

} // namespace kestrel::install
