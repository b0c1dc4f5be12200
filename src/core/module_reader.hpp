// Reading modules' files ahead of need: a thread of its own reads, decodes and scans the files the
// walk is about to expand, while the walk goes on resolving names on the calling thread. It
// never touches the interpreter; whatever needs it (a codec the module does not have, names that
// need the interpreter's normalisation, log records) is left to the caller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/builder.hpp"
#include "core/source_decoding.hpp"
#include "scanner/scanner.hpp"
#include "text/string_hash.hpp"

namespace modweave::core {

// What reading one module file gave.
struct ReadModule {
    enum class Outcome : std::uint8_t {
        Scanned,       // `imports` holds its statements
        Unreadable,    // `reason` says why it was not read
        Foreign,       // `foreign` holds bytes that the interpreter's codecs must decode
        NeedsScanning  // `text` holds the decoded text, whose names need the interpreter's form
    };
    Outcome outcome = Outcome::Unreadable;
    std::vector<ImportLine> imports;
    std::string reason;
    ForeignEncoding foreign;
    std::string text;
};

// The import statements the scanner finds in `text`, as the walk takes them.
std::vector<ImportLine> scan_imports(std::string_view text,
                                     const scanner::IdentifierNormalizer& normalize);

// Reads, decodes and scans the file at `path` on the calling thread.
ReadModule read_module(const std::string& path);
// The same with the caller's buffer for the file's bytes, which keeps its memory for the next.
ReadModule read_module(const std::string& path, std::string& buffer);

class ModuleReader {
public:
    ModuleReader() = default;
    ModuleReader(const ModuleReader&) = delete;
    ModuleReader& operator=(const ModuleReader&) = delete;
    // Stops the thread after the file in hand; what was read and not taken is dropped.
    ~ModuleReader();

    // Queues a file to read, after all others: the caller names the files it will take, in the
    // order it will take them. A file queued before is skipped.
    void prefetch(const std::string& path);

    // The result for `path`: the one read ahead, or, when the thread has not begun it, read now on
    // the calling thread. Waits while the thread has it in hand.
    ReadModule take(const std::string& path);

    // Takes import records the caller is done with, to be freed on the thread, which made most of
    // them: it frees them in its own time, and without contending for the memory of another.
    void release(std::vector<ImportLine> imports);

private:
    // The most results the thread keeps for the walk to take; then it waits until the walk has
    // taken half of them.
    static constexpr std::size_t kMostReadAhead = 1024;
    // Below this many results in store, a file queued, or a take, wakes the thread.
    static constexpr std::size_t kWakeBelow = 32;
    // Released records are handed to the thread this many modules at a time.
    static constexpr std::size_t kReleaseBatch = 32;

    void work();
    // Waits a little, awake, while `condition` holds, before a wait that sleeps: so that the
    // other side, which is about to act, need not wake this one.
    template <class Condition>
    static void spin_while(Condition&& condition);

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<std::string> queue_;                 // the front is read next
    std::atomic<std::uint64_t> queued_count_{0};    // files queued so far, and the stop
    std::atomic<std::uint64_t> finished_count_{0};  // files the thread is done with
    // The files queued or taken so far, by the hashes of their paths: whether a file may still
    // wait in the queue. A path that shares its hash with an earlier one is only not read ahead:
    // the caller reads it when it takes it, as any file never queued.
    class PathHashes {
    public:
        // Adds `hash`; false when it was there.
        bool insert(std::uint64_t hash);

    private:
        std::vector<std::uint64_t> slots_;  // a power of two in size, at most half full; 0: empty
        std::size_t size_ = 0;
    };
    PathHashes requested_;
    using Paths = std::unordered_set<std::string, text::TransparentStringHash, std::equal_to<>>;
    // Queued files the caller read itself; the thread passes over them.
    Paths taken_;
    using Results =
        std::unordered_map<std::string, ReadModule, text::TransparentStringHash, std::equal_to<>>;
    // An entry of the store made before the lock is taken, so that no memory is allocated (or
    // freed) while the other side may be waiting for the lock. Each side has a map of its own
    // to make them in.
    static Results::node_type make_result(Results& maker, const std::string& path, ReadModule read);
    Results results_;
    Results caller_maker_;
    // What the caller is done with that the thread made: import records, and the entries of the
    // store that held the results taken.
    struct Spent {
        std::vector<std::vector<ImportLine>> records;
        std::vector<Results::node_type> entries;
        bool empty() const noexcept { return records.empty() && entries.empty(); }
        void swap(Spent& other) noexcept {
            records.swap(other.records);
            entries.swap(other.entries);
        }
        void clear() noexcept {
            records.clear();
            entries.clear();
        }
    };
    // The caller's batch, and the one handed over for the thread to free. A batch is handed over
    // by a swap, when the thread has freed the one before, so that nothing is allocated or freed
    // under the lock.
    Spent releasing_;
    Spent released_;
    void hand_over_spent();
    const std::string* in_hand_ = nullptr;  // the thread's path in hand, unchanged while it is
    std::string buffer_;                    // for the files the caller reads itself
    bool stopping_ = false;
    bool thread_failed_ = false;
    std::thread thread_;  // started with the first prefetch
};

}  // namespace modweave::core
