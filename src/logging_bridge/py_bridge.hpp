// The sink that hands log records to Python's `logging`, one logger per target.
#pragma once

namespace modweave::logging_bridge {

// Can empty the bridge's logger cache; holds nothing else. The module drops it at once, so the
// cache lives as long as the process.
class ResetHandle {
public:
    explicit ResetHandle(class PythonBridge* bridge) noexcept : bridge_(bridge) {}
    void reset() const;

private:
    class PythonBridge* bridge_;
};

// Makes the bridge (importing `logging`), installs it as the process-wide sink and raises the
// global maximum level to Debug. Internal failure when `logging` cannot be imported ("Failed to
// initialize python logging...") or a sink is installed already. Needs the interpreter lock.
ResetHandle install_python_bridge();

}  // namespace modweave::logging_bridge
