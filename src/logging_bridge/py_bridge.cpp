#include "logging_bridge/py_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "host/call_frame.hpp"
#include "host/interpreter_lock.hpp"
#include "host/values.hpp"
#include "logging_bridge/cache.hpp"
#include "logging_bridge/log.hpp"

namespace modweave::logging_bridge {

using host::Handle;
using host::Object;
using host::PythonError;
using host::require;

namespace {

// The most verbose level the bridge passes on, whatever a logger would accept.
constexpr LevelFilter top_filter = LevelFilter::Debug;

// A logger held by the cache. Entries can be dropped by whichever thread replaces a cache root,
// so the release takes the interpreter lock itself; after the interpreter is gone the reference
// is simply abandoned.
class CachedLogger {
public:
    explicit CachedLogger(Object logger) noexcept : logger_(logger.release()) {}
    CachedLogger(CachedLogger&& other) noexcept : logger_(std::exchange(other.logger_, nullptr)) {}
    CachedLogger(const CachedLogger&) = delete;
    CachedLogger& operator=(const CachedLogger&) = delete;
    CachedLogger& operator=(CachedLogger&&) = delete;
    ~CachedLogger() {
        if (logger_ == nullptr || Py_IsInitialized() == 0) return;
        host::InterpreterLock lock;
        Py_DECREF(logger_);
    }

    Handle get() const noexcept { return Handle(logger_); }

private:
    PyObject* logger_;
};

// Attribute names, interned once and kept for the life of the process.
PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw PythonError();
    return name;
}

Object call_method(Handle object, PyObject* name, std::initializer_list<PyObject*> arguments) {
    Object method = require(PyObject_GetAttr(object.get(), name));
    return require(PyObject_Vectorcall(method.get(), arguments.begin(), arguments.size(), nullptr));
}

bool is_enabled_for(Handle logger, PyObject* method_name, int level_number) {
    Object level = require(PyLong_FromLong(level_number));
    Object answer = call_method(logger, method_name, {level.get()});
    int truth = PyObject_IsTrue(answer.get());
    if (truth < 0) throw PythonError();
    return truth != 0;
}

}  // namespace

class PythonBridge final : public Sink {
public:
    explicit PythonBridge(Object logging_module)
        : logging_module_(std::move(logging_module)),
          get_logger_(interned("getLogger")),
          is_enabled_for_(interned("isEnabledFor")),
          make_record_(interned("makeRecord")),
          handle_(interned("handle")) {}

    void log(const Record& record) noexcept override {
        if (!may_accept(record.level, record.target)) return;
        auto root = cache_.load();
        const auto* node = Cache::find(*root, record.target);
        if (node != nullptr && node->entry) remember(record.target, Cache::cached_filter(node));
        if (!passes(record.level, Cache::cached_filter(node)) ||
            !passes(record.level, top_filter)) {
            return;
        }
        if (Py_IsInitialized() == 0) return;
        host::InterpreterLock lock;
        // Whatever exception the caller has pending is neither seen nor cleared by the Python
        // calls made here.
        PyObject* caller_exception = PyErr_GetRaisedException();
        try {
            emit(record, node != nullptr && node->entry ? node->entry.get() : nullptr);
        } catch (PythonError& error) {
            report(error);
        } catch (const std::exception&) {
            // Out of memory while formatting: the record is lost, the caller goes on.
        }
        PyErr_SetRaisedException(caller_exception);
    }

    // False only when the bridge knows that a record of `level` for `target` would be dropped.
    bool may_accept(Level level, std::string_view target) const noexcept {
        if (!passes(level, top_filter)) return false;
        for (const auto& [text, filter] : recent_targets().entries) {
            if (text == target) return passes(level, filter);
        }
        return true;
    }

    // A logger's filter, once cached, decides for its target until the cache is reset.
    bool refuses_until_renewed(Level level, std::string_view target) const noexcept override {
        if (!passes(level, top_filter)) return true;
        const auto root = cache_.load();
        const auto* node = Cache::find(*root, target);
        return node != nullptr && node->entry && !passes(level, Cache::cached_filter(node));
    }

    void reset_cache() {
        generation_.fetch_add(1, std::memory_order_acq_rel);
        cache_.reset();
        renew_decisions();
    }

private:
    using Cache = LoggerCache<CachedLogger>;

    void emit(const Record& record, const Cache::Entry* entry) {
        const std::string message = record.message.format();
        const std::string name = logger_name(record.target);
        Object name_object = host::make_str(name);
        Object logger;
        if (entry != nullptr) {
            logger = Object::borrow(entry->logger.get());
        } else {
            Object get_logger = require(PyObject_GetAttr(logging_module_.get(), get_logger_));
            logger = require(PyObject_CallOneArg(get_logger.get(), name_object.get()));
        }

        const int level_number = python_level_number(record.level);
        if (is_enabled_for(logger.handle(), is_enabled_for_, level_number)) {
            Object level = require(PyLong_FromLong(level_number));
            Object file = host::make_str(record.file);
            Object line = require(PyLong_FromUnsignedLong(record.line));
            Object text = host::make_str(message);
            Object no_arguments = require(PyTuple_New(0));
            Object python_record =
                call_method(logger.handle(), make_record_,
                            {name_object.get(), level.get(), file.get(), line.get(), text.get(),
                             no_arguments.get(), Py_None});
            call_method(logger.handle(), handle_, {python_record.get()});
        }

        if (entry == nullptr) {
            const LevelFilter filter = probe_filter(logger.handle());
            cache_.store(record.target, CachedLogger(std::move(logger)), filter);
        }
    }

    // The most verbose level the logger accepts now.
    LevelFilter probe_filter(Handle logger) {
        constexpr Level probes[] = {Level::Trace, Level::Debug, Level::Info, Level::Warn,
                                    Level::Error};
        for (Level level : probes) {
            if (is_enabled_for(logger, is_enabled_for_, python_level_number(level))) {
                return as_filter(level);
            }
        }
        return LevelFilter::Off;
    }

    // A failure inside Python logging loses the record and is printed, never raised; only an
    // exception that is not an Exception (an interrupt, a request to exit) is kept for the
    // operation in progress, which raises it when it ends.
    static void report(PythonError& error) {
        if (PyErr_GivenExceptionMatches(error.exception().get(), PyExc_Exception) == 0) {
            host::defer_interrupt(error.take());
            return;
        }
        error.restore();
        PyErr_PrintEx(0);
    }

    // Each thread's copy of the cached filters of the few targets it logs to, so that a record
    // no logger wants costs a short comparison instead of a walk of the shared cache. A cached
    // filter never changes until the cache is reset, which starts a new generation.
    struct RecentTargets {
        std::uint64_t generation = 0;
        std::vector<std::pair<std::string, LevelFilter>> entries;
    };

    RecentTargets& recent_targets() const noexcept {
        thread_local RecentTargets recent;
        const std::uint64_t generation = generation_.load(std::memory_order_acquire);
        if (recent.generation != generation) {
            recent.entries.clear();
            recent.generation = generation;
        }
        return recent;
    }

    void remember(std::string_view target, LevelFilter filter) noexcept {
        auto& entries = recent_targets().entries;
        if (entries.size() >= kRecentTargets) return;
        for (const auto& entry : entries) {
            if (entry.first == target) return;
        }
        try {
            entries.emplace_back(target, filter);
        } catch (const std::bad_alloc&) {
            // Without the copy the next record takes the slower way; nothing is lost.
        }
    }

    static constexpr std::size_t kRecentTargets = 8;

    Object logging_module_;  // the `logging` module, imported when the bridge is made
    PyObject* get_logger_;   // interned attribute names
    PyObject* is_enabled_for_;
    PyObject* make_record_;
    PyObject* handle_;
    Cache cache_;
    std::atomic<std::uint64_t> generation_{1};
};

void ResetHandle::reset() const {
    bridge_->reset_cache();
}

ResetHandle install_python_bridge() {
    PyObject* logging_module = PyImport_ImportModule("logging");
    if (logging_module == nullptr) {
        fail("Failed to initialize python logging: ", PythonError().describe());
    }
    auto bridge = std::make_unique<PythonBridge>(Object::steal(logging_module));
    PythonBridge* installed = bridge.get();
    if (!set_sink(std::move(bridge))) {
        fail("attempted to set a logger after the logging system was already initialized");
    }
    set_max_level(top_filter);
    return ResetHandle(installed);
}

}  // namespace modweave::logging_bridge
