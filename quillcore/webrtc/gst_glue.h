#pragma once

// Small pieces of GStreamer glue shared by the layer's units.

#include <gst/gst.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace quill::gst {

inline std::int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline bool hasProperty(gpointer object, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) != nullptr;
}

inline std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

inline std::string errorText(const GError* error, const char* fallback) {
    if (error && error->message && *error->message) return error->message;
    return fallback;
}

// A signal handler whose user data is a weak reference, freed with the handler.
template <class T>
gulong connectWeak(gpointer object, const char* signal, GCallback callback, std::weak_ptr<T> weak) {
    return g_signal_connect_data(
        object, signal, callback, new std::weak_ptr<T>(std::move(weak)),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<T>*>(data); }, GConnectFlags(0));
}

template <class T>
std::shared_ptr<T> lockWeak(gpointer data) {
    return static_cast<std::weak_ptr<T>*>(data)->lock();
}

// Counts the calls into a pipeline in progress. Once closed no call starts, and the teardown
// waits until the calls in progress have left: nothing runs against a pipeline going down.
class CallGate {
public:
    class Pass {
    public:
        explicit Pass(CallGate& gate) : gate_(gate.enter() ? &gate : nullptr) {}
        ~Pass() {
            if (gate_) gate_->leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        explicit operator bool() const { return gate_ != nullptr; }

    private:
        CallGate* gate_;
    };

    // False when it was closed already.
    bool close() {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        closed_ = true;
        return true;
    }
    bool isClosed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }
    void waitUntilIdle() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return calls_ == 0; });
    }

private:
    bool enter() {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        ++calls_;
        return true;
    }
    void leave() {
        std::lock_guard lock(mutex_);
        if (--calls_ == 0) idle_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool closed_ = false;
    int calls_ = 0;
};

// Marks the current thread as one of GStreamer's while a callback of ours runs on it.
class GstThreadScope {
public:
    GstThreadScope() : previous_(current()) { current() = true; }
    ~GstThreadScope() { current() = previous_; }
    GstThreadScope(const GstThreadScope&) = delete;
    GstThreadScope& operator=(const GstThreadScope&) = delete;
    static bool active() { return current(); }

private:
    static bool& current() {
        static thread_local bool onGstThread = false;
        return onGstThread;
    }
    bool previous_;
};

}  // namespace quill::gst
