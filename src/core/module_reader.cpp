#include "core/module_reader.hpp"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>
#include <variant>

#include "core/source_file.hpp"
#include "scanner/scanner.hpp"
#include "system/io.hpp"

namespace modweave::core {

std::vector<ImportLine> scan_imports(std::string_view text,
                                     const scanner::IdentifierNormalizer& normalize) {
    std::vector<scanner::ScannedImport> scanned = scanner::scan(text, normalize);
    std::vector<ImportLine> imports;
    imports.reserve(scanned.size());
    for (scanner::ScannedImport& statement : scanned) {
        imports.push_back({.statement = std::move(statement.statement),
                           .line = statement.line,
                           .type_checking = statement.type_checking});
    }
    return imports;
}

ReadModule read_module(const std::string& path) {
    std::string buffer;
    return read_module(path, buffer);
}

ReadModule read_module(const std::string& path, std::string& buffer) {
    ReadModule read;
    const auto content = read_file_into(path, buffer);
    if (const auto* failure = std::get_if<OpenFailure>(&content)) {
        read.reason = system::describe_error(failure->error_number);
        return read;
    }
    if (const auto* failure = std::get_if<ReadFailure>(&content)) {
        read.reason = system::describe_error(failure->error_number);
        return read;
    }
    DecodedSource decoded =
        decode_source_view(std::string_view(buffer.data(), std::get<std::size_t>(content)));
    if (auto* undecodable = std::get_if<UndecodableSource>(&decoded)) {
        read.reason = std::move(undecodable->reason);
        return read;
    }
    if (auto* foreign = std::get_if<ForeignEncoding>(&decoded)) {
        read.outcome = ReadModule::Outcome::Foreign;
        read.foreign = std::move(*foreign);
        return read;
    }
    const auto* converted = std::get_if<std::string>(&decoded);
    const std::string_view text =
        converted != nullptr ? std::string_view(*converted) : std::get<std::string_view>(decoded);
    // Names with characters beyond ASCII take the interpreter's normalisation, which only the
    // caller may ask for; the scan is then left to it.
    bool needs_normalisation = false;
    const scanner::IdentifierNormalizer notice = [&](std::string_view name) {
        needs_normalisation = true;
        return std::string(name);
    };
    std::vector<ImportLine> imports = scan_imports(text, notice);
    if (needs_normalisation) {
        read.outcome = ReadModule::Outcome::NeedsScanning;
        read.text = std::string(text);
        return read;
    }
    read.outcome = ReadModule::Outcome::Scanned;
    read.imports = std::move(imports);
    return read;
}

ModuleReader::~ModuleReader() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        queued_count_.fetch_add(1, std::memory_order_release);
    }
    queued_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool ModuleReader::PathHashes::insert(std::uint64_t hash) {
    hash = hash == 0 ? 1 : hash;
    if ((size_ + 1) * 2 > slots_.size()) {
        std::vector<std::uint64_t> slots(std::max<std::size_t>(64, slots_.size() * 2));
        const std::size_t mask = slots.size() - 1;
        for (const std::uint64_t held : slots_) {
            if (held == 0) continue;
            std::size_t index = held & mask;
            while (slots[index] != 0)
                index = (index + 1) & mask;
            slots[index] = held;
        }
        slots_ = std::move(slots);
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t index = hash & mask;
    for (; slots_[index] != 0; index = (index + 1) & mask) {
        if (slots_[index] == hash) return false;
    }
    slots_[index] = hash;
    ++size_;
    return true;
}

void ModuleReader::prefetch(const std::string& path) {
    // The copy of the path is made before the lock is taken.
    const std::uint64_t hash = text::hash_text(path);
    std::string queued = path;
    {
        const std::lock_guard lock(mutex_);
        if (!requested_.insert(hash)) return;
        if (!thread_.joinable() && !thread_failed_) {
            try {
                thread_ = std::thread([this] { work(); });
            } catch (const std::system_error&) {
                // No thread to be had: every file is read when it is taken.
                thread_failed_ = true;
            }
        }
        if (thread_failed_) return;
        queue_.push_back(std::move(queued));
        queued_count_.fetch_add(1, std::memory_order_release);
        // With results enough in store for the walk, a sleeping thread is left asleep: the takes
        // wake it when they run low, and it then reads everything queued in one run, instead of
        // waking for every file the walk finds.
        if (results_.size() >= kWakeBelow) return;
    }
    queued_.notify_one();
}

ModuleReader::Results::node_type ModuleReader::make_result(Results& maker, const std::string& path,
                                                           ReadModule read) {
    // `maker` holds nothing between calls.
    return maker.extract(maker.emplace(path, std::move(read)).first);
}

ReadModule ModuleReader::take(const std::string& path) {
    std::unique_lock lock(mutex_);
    const auto in_hand = [&] { return in_hand_ != nullptr && *in_hand_ == path; };
    // While the thread has the file in hand, the files queued after it are read here, so that
    // neither side waits while there is reading left to do.
    while (in_hand() && !queue_.empty()) {
        std::string next = std::move(queue_.front());
        queue_.pop_front();
        if (taken_.erase(next) != 0) continue;
        lock.unlock();
        Results::node_type entry = make_result(caller_maker_, next, read_module(next, buffer_));
        lock.lock();
        results_.insert(std::move(entry));
    }
    if (in_hand()) {
        // Most files take less time to read than the thread takes to wake a sleeper.
        const std::uint64_t seen = finished_count_.load(std::memory_order_acquire);
        lock.unlock();
        spin_while([&] { return finished_count_.load(std::memory_order_acquire) == seen; });
        lock.lock();
    }
    finished_.wait(lock, [&] { return !in_hand(); });
    if (const auto done = results_.find(path); done != results_.end()) {
        Results::node_type entry = results_.extract(done);
        // Woken only when half of what it held is taken, or when the store runs low, the thread
        // reads in runs instead of waking for every take.
        const bool wake = results_.size() == kMostReadAhead / 2 ||
                          (results_.size() == kWakeBelow - 1 && !queue_.empty());
        lock.unlock();
        if (wake) queued_.notify_one();
        ReadModule read = std::move(entry.mapped());
        // The entry, which the thread made, goes back to it to be freed.
        releasing_.entries.push_back(std::move(entry));
        hand_over_spent();
        return read;
    }
    // Not begun: the thread must not begin it now.
    if (!requested_.insert(text::hash_text(path))) taken_.insert(path);
    lock.unlock();
    return read_module(path, buffer_);
}

void ModuleReader::release(std::vector<ImportLine> imports) {
    // Records that own no memory cost nothing to free here.
    if (imports.empty()) return;
    releasing_.records.push_back(std::move(imports));
    hand_over_spent();
}

void ModuleReader::hand_over_spent() {
    // Without a thread, nothing would collect them.
    if (!thread_.joinable()) {
        releasing_.clear();
        return;
    }
    // In batches, so that the lock is taken once for many modules.
    if (releasing_.records.size() + releasing_.entries.size() < kReleaseBatch) return;
    const std::lock_guard lock(mutex_);
    if (released_.empty()) released_.swap(releasing_);
}

template <class Condition>
void ModuleReader::spin_while(Condition&& condition) {
    // With one processor to run on, a spinning thread only keeps the other from acting.
    static const bool processors_to_spare = [] {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        return ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1;
    }();
    if (!processors_to_spare) return;
    // About the time the walk takes for a module or two; waking a sleeping thread costs the waker
    // a system call and the sleeper a reschedule, many times over on a virtual machine.
    constexpr auto budget = std::chrono::microseconds(200);
    const auto until = std::chrono::steady_clock::now() + budget;
    for (unsigned round = 0; condition(); ++round) {
        if (round % 64 == 63 && std::chrono::steady_clock::now() >= until) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

void ModuleReader::work() {
    std::string buffer;  // the thread's own, as buffer_ is the caller's
    Results maker;       // the same for making entries
    Spent released;      // what the caller is done with, to free
    std::unique_lock lock(mutex_);
    for (;;) {
        if (queue_.empty() && !stopping_) {
            // Files come one at a time as the walk finds them: wait awake for the next a while.
            const std::uint64_t seen = queued_count_.load(std::memory_order_acquire);
            lock.unlock();
            spin_while([&] { return queued_count_.load(std::memory_order_acquire) == seen; });
            lock.lock();
        }
        // Far enough ahead, the thread waits for the walk to take some: what it holds is memory.
        queued_.wait(lock, [&] {
            return stopping_ || (!queue_.empty() && results_.size() < kMostReadAhead);
        });
        if (stopping_) return;
        const std::string path = std::move(queue_.front());
        queue_.pop_front();
        if (taken_.erase(path) != 0) continue;
        in_hand_ = &path;
        released.swap(released_);
        lock.unlock();
        released.clear();
        Results::node_type entry;
        try {
            entry = make_result(maker, path, read_module(path, buffer));
        } catch (const std::exception&) {
            // Out of memory: the caller reads the file itself.
            lock.lock();
            in_hand_ = nullptr;
            finished_count_.fetch_add(1, std::memory_order_release);
            finished_.notify_all();
            continue;
        }
        lock.lock();
        results_.insert(std::move(entry));
        in_hand_ = nullptr;
        finished_count_.fetch_add(1, std::memory_order_release);
        finished_.notify_all();
    }
}

}  // namespace modweave::core
