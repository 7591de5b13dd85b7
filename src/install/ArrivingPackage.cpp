#include "install/ArrivingPackage.h"

#include "install/OwnFiles.h"
#include "install/SwitchRecord.h"
#include "install/ZipFormat.h"
#include "os/FileSystem.h"

#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>
#include <unordered_set>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

using namespace zip;

constexpr std::size_t kLongestDescriptor = 24;  // signature, CRC, two 8-byte sizes
constexpr std::uint16_t kUnicodePathId = 0x7075;  // a second name, which the ordinary reader may prefer
constexpr std::size_t kBufferSize = 1 << 20;  // holds the longest local header
constexpr std::size_t kOutputSize = 256 * 1024;
constexpr std::uint64_t kWriteBackStep = 8 << 20;
// Left free for the rest of the download and everything else on the volume.
constexpr std::uint64_t kSpareBytes = 64ULL << 20;
constexpr unsigned kFilePermissions = 0644;  // until the central directory tells

class Quiet final : public InstallObserver {
public:
    void started(std::size_t) override {}
    void topLevelStaged(std::size_t) override {}
    void busy() override {}
};

Quiet quiet;

// The package's bytes as they reach the file, through a buffer that moves forward.
class Tail {
public:
    // waitFor(end) waits until the file holds end bytes and answers how many it holds: fewer
    // when no more will come.
    Tail(const ArrivingPackage::Reader &reader, const ArrivingPackage::WriteBack &writeBack,
         std::function<std::uint64_t(std::uint64_t)> waitFor)
        : m_reader(reader), m_writeBack(writeBack), m_waitFor(std::move(waitFor)), m_buffer(kBufferSize)
    {
    }

    // At least `least` bytes from pos, and as many of the next `most` as are at hand; null when
    // they will never all be there. Valid until the next call.
    const char *at(std::uint64_t pos, std::size_t least, std::uint64_t most, std::size_t &got)
    {
        if (pos < m_start || pos > m_start + m_length) {
            m_start = pos;
            m_length = 0;
        }
        if (pos + least > m_start + m_length) {
            const std::size_t keep = static_cast<std::size_t>(m_start + m_length - pos);
            std::memmove(m_buffer.data(), m_buffer.data() + (pos - m_start), keep);
            m_start = pos;
            m_length = keep;
            while (m_length < least) {
                const std::uint64_t onDisk = m_waitFor(pos + least);
                if (onDisk < pos + least)
                    return nullptr;
                const std::size_t want = static_cast<std::size_t>(
                    std::min<std::uint64_t>(m_buffer.size() - m_length, onDisk - (m_start + m_length)));
                const std::int64_t read = m_reader(static_cast<std::int64_t>(m_start + m_length),
                                                   m_buffer.data() + m_length, want);
                if (read <= 0)
                    return nullptr;
                m_length += static_cast<std::size_t>(read);
                if (m_writeBack && m_start + m_length - m_sent >= kWriteBackStep) {
                    m_writeBack(static_cast<std::int64_t>(m_sent), static_cast<std::int64_t>(m_start + m_length - m_sent));
                    m_sent = m_start + m_length;
                }
            }
        }
        got = static_cast<std::size_t>(std::min<std::uint64_t>(most, m_start + m_length - pos));
        return m_buffer.data() + (pos - m_start);
    }

private:
    const ArrivingPackage::Reader &m_reader;
    const ArrivingPackage::WriteBack &m_writeBack;
    std::uint64_t m_sent = 0;  // the package's bytes before this are on their way to the disk
    std::function<std::uint64_t(std::uint64_t)> m_waitFor;
    std::vector<char> m_buffer;
    std::uint64_t m_start = 0;  // the file offset of the buffer's first byte
    std::size_t m_length = 0;
};

// One entry's data, stored or deflated, handed out block by block as it arrives.
class EntryData {
public:
    // stored: how many bytes the entry takes, or UINT64_MAX when only its deflate stream tells.
    EntryData(Tail &tail, std::uint64_t begin, std::uint64_t stored, bool deflated)
        : m_tail(tail), m_begin(begin), m_pos(begin), m_left(stored == UINT64_MAX ? UINT64_MAX - begin : stored),
          m_bounded(stored != UINT64_MAX), m_deflated(deflated)
    {
        if (m_deflated) {
            m_out.resize(kOutputSize);
            m_ready = inflateInit2(&m_stream, -MAX_WBITS) == Z_OK;
        }
    }
    ~EntryData()
    {
        if (m_deflated && m_ready)
            inflateEnd(&m_stream);
    }
    EntryData(const EntryData &) = delete;
    EntryData &operator=(const EntryData &) = delete;

    int next(const void *&block, std::size_t &size)
    {
        if (!m_deflated)
            return nextStored(block, size);
        if (!m_ready)
            return -1;
        if (m_ended)
            return usedUp() ? 0 : -1;
        m_stream.next_out = reinterpret_cast<Bytef *>(m_out.data());
        m_stream.avail_out = static_cast<uInt>(m_out.size());
        while (m_stream.avail_out == m_out.size() && !m_ended) {
            if (m_stream.avail_in == 0) {
                std::size_t got = 0;
                const char *in = m_left == 0 ? nullptr : m_tail.at(m_pos, 1, std::min<std::uint64_t>(m_left, 1U << 30), got);
                if (!in)
                    return -1;  // the stream runs past its stored size, or the file ends first
                m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in));
                m_stream.avail_in = static_cast<uInt>(got);
                m_pos += got;
                m_left -= got;
            }
            const int status = inflate(&m_stream, Z_NO_FLUSH);
            if (status == Z_STREAM_END)
                m_ended = true;
            else if (status != Z_OK)
                return -1;
        }
        block = m_out.data();
        size = m_out.size() - m_stream.avail_out;
        if (size == 0)
            return usedUp() ? 0 : -1;
        return 1;
    }

    // Every stored byte was taken, no more: where the next entry begins is known for sure.
    bool usedUp() const
    {
        if (!m_bounded)
            return m_ended;
        return m_left == 0 && (!m_deflated || (m_ended && m_stream.avail_in == 0));
    }
    // The stored bytes the data took.
    std::uint64_t consumed() const { return m_pos - m_begin - (m_deflated ? m_stream.avail_in : 0); }

private:
    int nextStored(const void *&block, std::size_t &size)
    {
        if (m_left == 0)
            return 0;
        const char *data = m_tail.at(m_pos, 1, m_left, size);
        if (!data)
            return -1;
        block = data;
        m_pos += size;
        m_left -= size;
        return 1;
    }

    Tail &m_tail;
    std::uint64_t m_begin;
    std::uint64_t m_pos;
    std::uint64_t m_left;  // stored bytes not yet taken
    bool m_bounded;
    bool m_deflated;
    bool m_ready = true;
    bool m_ended = false;
    z_stream m_stream{};
    std::vector<char> m_out;
};

// Sizes marked as being in the zip64 extra field are read from it; a second, Unicode name is
// not read here: the early staging gives up on it.
bool readExtra(std::string_view extra, ZipRecord &record)
{
    bool widened = record.original != kInZip64Extra && record.stored != kInZip64Extra;
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::uint64_t id = little(extra.data() + at, 2);
        const std::size_t length = little(extra.data() + at + 2, 2);
        if (at + 4 + length > extra.size() || id == kUnicodePathId)
            return false;
        if (id == kZip64ExtraId && !widened) {
            std::size_t field = at + 4;
            for (std::uint64_t *value : {&record.original, &record.stored}) {
                if (*value != kInZip64Extra)
                    continue;
                if (field + 8 > at + 4 + length)
                    return false;
                *value = little(extra.data() + field, 8);
                field += 8;
            }
            widened = true;
        }
        at += 4 + length;
    }
    return widened;
}

// Reads the package's entries in order as they arrive and stages them; true when it got to the
// first bytes that begin no entry (the central directory) with every entry before them staged.
class Streamer {
public:
    Streamer(StagedStream &out, const ArrivingPackage::Reader &reader, const ArrivingPackage::WriteBack &writeBack,
             std::function<std::uint64_t(std::uint64_t)> waitFor, std::function<bool()> stopping)
        : m_out(out), m_tail(reader, writeBack, std::move(waitFor)), m_stopping(std::move(stopping))
    {
        m_out.staging.writeBehind();
    }

    bool run(const fs::path &package, const fs::path &target)
    {
        std::error_code error;
        const fs::space_info space = fs::space(package.parent_path(), error);
        if (error || space.available < kSpareBytes)
            return false;
        m_budget = space.available - kSpareBytes;
        const EntryChecker checker(target, m_out.staging.folder(), package);
        PackageNames names = checker.names();
        for (std::uint64_t pos = 0;;) {
            std::size_t got = 0;
            const char *header = m_tail.at(pos, 4, 4, got);
            if (!header || m_stopping())
                return false;
            if (little(header, 4) != kLocalSignature) {
                m_out.end = pos;
                return !m_out.entries.empty();
            }
            // Made at the first entry: a body that is no zip leaves nothing behind.
            if (pos == 0 && m_out.staging.prepare(m_out.created))
                return false;
            StreamedEntry entry;
            std::uint64_t dataBegin = 0;
            if (!readHeader(pos, entry.record, dataBegin) || !stage(entry, dataBegin, checker, names, pos))
                return false;
            m_out.entries.push_back(std::move(entry));
        }
    }

private:
    bool readHeader(std::uint64_t pos, ZipRecord &record, std::uint64_t &dataBegin)
    {
        std::size_t got = 0;
        const char *header = m_tail.at(pos, kLocalSize, kLocalSize, got);
        if (!header)
            return false;
        record.localHeader = pos;
        record.flags = static_cast<std::uint16_t>(little(header + 6, 2));
        record.method = static_cast<std::uint16_t>(little(header + 8, 2));
        record.crc = static_cast<std::uint32_t>(little(header + 14, 4));
        record.stored = little(header + 18, 4);
        record.original = little(header + 22, 4);
        const std::size_t nameLength = little(header + 26, 2);
        const std::size_t extraLength = little(header + 28, 2);
        // A stored entry whose size comes only after its data gives no way to find where it ends;
        // some writers give it before as well, which the descriptor after the data then confirms.
        if ((record.flags & kEncryptionFlags) != 0 || (record.method != kStoredMethod && record.method != kDeflateMethod)
            || (record.method == kStoredMethod && (record.flags & kDescriptorFlag) != 0 && record.stored == 0))
            return false;
        header = m_tail.at(pos, kLocalSize + nameLength + extraLength, 0, got);
        if (!header)
            return false;
        record.name.assign(header + kLocalSize, nameLength);
        // The ordinary reader decodes other names by a code page of its own choosing.
        const bool plain = std::none_of(record.name.begin(), record.name.end(),
                                        [](char c) { return c == '\0' || static_cast<unsigned char>(c) >= 0x80; });
        dataBegin = pos + kLocalSize + nameLength + extraLength;
        return (plain || (record.flags & kUtf8Flag) != 0)
            && readExtra(std::string_view(header + kLocalSize + nameLength, extraLength), record)
            && (record.method != kStoredMethod || record.stored == record.original);
    }

    // next: where the following entry begins.
    bool stage(StreamedEntry &entry, std::uint64_t dataBegin, const EntryChecker &checker, PackageNames &names,
               std::uint64_t &next)
    {
        ZipRecord &record = entry.record;
        const bool trailing = (record.flags & kDescriptorFlag) != 0;
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> described(archive_entry_new(), &archive_entry_free);
        if ((record.flags & kUtf8Flag) != 0)
            archive_entry_update_pathname_utf8(described.get(), record.name.c_str());
        else
            archive_entry_copy_pathname(described.get(), record.name.c_str());
        const bool folder = !record.name.empty() && record.name.back() == '/';
        archive_entry_set_filetype(described.get(), folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_size(described.get(), static_cast<la_int64_t>(record.original));
        EntryPath path;
        if (checker.check(described.get(), path) || names.refusal(entryPathText(described.get()), path))
            return false;
        entry.planned = {relativePath(path), folder ? EntryKind::Folder : EntryKind::File, kFilePermissions};
        next = dataBegin + record.stored;
        if (path.verdict == PathVerdict::Root || folder)
            return !trailing && record.stored == 0 && record.original == 0 && !m_out.staging.stageFolder(path);
        const bool bounded = !trailing || record.method == kStoredMethod;  // the size is known before the data
        // Two entries with one name: which one the ordinary reader keeps depends on its order.
        if (!m_names.insert(entry.planned.relative).second || !roomFor(bounded ? record.original : 0))
            return false;
        EntryData data(m_tail, dataBegin, bounded ? record.stored : UINT64_MAX, record.method == kDeflateMethod);
        // Without a declared size, the free space bounds the output block by block.
        const auto source = [&data, bounded, this](const void *&block, std::size_t &size) {
            const int status = data.next(block, size);
            return status > 0 && !bounded && !roomFor(size, 0) ? -1 : status;
        };
        if (m_out.staging.stageFile(path, kFilePermissions, bounded ? static_cast<std::int64_t>(record.original) : -1,
                                    source, entryPathText(described.get()))
            || !data.usedUp())
            return false;
        const NewFile &file = m_out.staging.newFiles().at(entry.planned.relative);
        if (!trailing)
            return file.crc == record.crc;
        // The ordinary reader takes what the local header gives here too, when it gives anything.
        const auto agrees = [](std::uint64_t local, std::uint64_t actual) { return local == 0 || local == actual; };
        if (!agrees(record.crc, file.crc) || !agrees(record.stored, data.consumed())
            || !(agrees(record.original, file.size) || record.original == kInZip64Extra))
            return false;
        record.crc = file.crc;
        record.stored = data.consumed();
        record.original = file.size;
        return readDescriptor(dataBegin + record.stored, record, next);
    }

    // The descriptor after the data may begin with a signature and holds 4- or 8-byte sizes: the
    // reading that agrees with the data as read tells where the next entry begins. Two readings
    // of different lengths that both agree leave it unknown.
    bool readDescriptor(std::uint64_t at, const ZipRecord &record, std::uint64_t &next)
    {
        std::size_t got = 0;
        const char *bytes = m_tail.at(at, kLongestDescriptor, kLongestDescriptor, got);
        if (!bytes)
            return false;
        std::size_t length = 0;
        for (const auto &[skip, width] : {std::pair{4, 4}, std::pair{4, 8}, std::pair{0, 4}, std::pair{0, 8}}) {
            const char *fields = bytes + skip;
            if ((skip == 0 || little(bytes, 4) == kDescriptorSignature) && little(fields, 4) == record.crc
                && little(fields + 4, width) == record.stored && little(fields + 4 + width, width) == record.original) {
                const std::size_t found = static_cast<std::size_t>(skip + 4 + 2 * width);
                if (length != 0 && length != found)
                    return false;
                length = found;
            }
        }
        next = at + length;
        return length != 0;
    }

    // The volume's free space is read again only when the budget from the last reading runs out.
    bool roomFor(std::uint64_t size, std::uint64_t slack = kSlackPerEntry)
    {
        if (size > UINT64_MAX - slack)
            return false;
        size += slack;
        if (size > m_budget) {
            std::error_code error;
            const fs::space_info space = fs::space(m_out.staging.folder(), error);
            if (error || space.available < kSpareBytes || space.available - kSpareBytes < size)
                return false;
            m_budget = space.available - kSpareBytes;
        }
        m_budget -= size;
        return true;
    }

    StagedStream &m_out;
    Tail m_tail;
    std::function<bool()> m_stopping;
    std::uint64_t m_budget = 0;
    std::unordered_set<std::string> m_names;
};

} // namespace

StagedStream::StagedStream(const fs::path &folder) : staging(folder, quiet) {}

StagedStream::~StagedStream()
{
    if (created)
        dropStaging(staging.folder());
}

bool StagedStream::matches(const ZipListing &listing, const Plan &plan)
{
    if (end != listing.directoryBegin || entries.size() != listing.records.size()
        || entries.size() != plan.entries.size())
        return false;
    std::vector<const PlannedEntry *> ours;
    std::vector<const PlannedEntry *> theirs;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipRecord &a = entries[i].record;
        const ZipRecord &b = listing.records[i];
        if (a.localHeader != b.localHeader || a.name != b.name || a.stored != b.stored || a.original != b.original
            || a.crc != b.crc || a.method != b.method || a.flags != b.flags)
            return false;
        ours.push_back(&entries[i].planned);
        theirs.push_back(&plan.entries[i]);
    }
    // The ordinary reader may list the entries in another order; what it makes of each name must
    // be what was staged.
    const auto byPlace = [](const PlannedEntry *a, const PlannedEntry *b) {
        return std::tie(a->relative, a->kind) < std::tie(b->relative, b->kind);
    };
    std::sort(ours.begin(), ours.end(), byPlace);
    std::sort(theirs.begin(), theirs.end(), byPlace);
    for (std::size_t i = 0; i < ours.size(); ++i) {
        if (ours[i]->relative != theirs[i]->relative || ours[i]->kind != theirs[i]->kind)
            return false;
        if (ours[i]->kind == EntryKind::File && ours[i]->permissions != theirs[i]->permissions) {
            const std::u8string relative(ours[i]->relative.begin(), ours[i]->relative.end());
            if (os::setPermissionBits(staging.content() / fs::path(relative), theirs[i]->permissions))
                return false;
        }
    }
    return true;
}

Staging StagedStream::adopt(InstallObserver &observer)
{
    created = false;
    staging.setObserver(observer);
    return std::move(staging);
}

ArrivingPackage::~ArrivingPackage()
{
    discard();
}

void ArrivingPackage::start(const fs::path &package, const fs::path &target, Reader reader, WriteBack writeBack)
{
    discard();
    m_reader = std::move(reader);
    m_writeBack = std::move(writeBack);
    m_written = 0;
    m_complete = m_stop = false;
    m_reading = m_running = true;
    m_thread = std::thread([this, package, target = withoutTrailingSeparator(target)] { run(package, target); });
}

void ArrivingPackage::written(std::int64_t size)
{
    const std::lock_guard lock(m_mutex);
    m_written = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
    m_changed.notify_all();
}

bool ArrivingPackage::finish(std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    m_complete = true;
    m_changed.notify_all();
    return m_changed.wait_for(lock, wait, [this] { return !m_reading; });
}

void ArrivingPackage::discard()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_result.reset();
    m_reader = nullptr;
    m_writeBack = nullptr;
}

std::unique_ptr<StagedStream> ArrivingPackage::take(InstallObserver &observer)
{
    {
        std::unique_lock lock(m_mutex);
        m_complete = true;
        m_changed.notify_all();
        while (!m_changed.wait_for(lock, std::chrono::milliseconds(15), [this] { return !m_running; })) {
            lock.unlock();
            observer.busy();
            lock.lock();
        }
    }
    if (m_thread.joinable())
        m_thread.join();
    return std::move(m_result);
}

std::uint64_t ArrivingPackage::waitFor(std::uint64_t end)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_stop || m_complete || m_written >= end; });
    return m_stop ? 0 : m_written;
}

void ArrivingPackage::run(fs::path package, fs::path target)
{
    auto staged = std::make_unique<StagedStream>(package.parent_path() / kStagingFolderName);
    bool whole = false;
    try {
        Streamer streamer(*staged, m_reader, m_writeBack, [this](std::uint64_t end) { return waitFor(end); },
                          [this] {
                              const std::lock_guard lock(m_mutex);
                              return m_stop;
                          });
        whole = streamer.run(package, target);
        {
            const std::lock_guard lock(m_mutex);
            m_reading = false;
            m_changed.notify_all();
        }
        whole = whole && !staged->staging.flush();
    } catch (const std::exception &) {
        whole = false;
    }
    if (!whole)
        staged.reset();
    const std::lock_guard lock(m_mutex);
    m_reading = false;
    m_result = std::move(staged);
    m_running = false;
    m_changed.notify_all();
}

} // namespace kestrel::install
