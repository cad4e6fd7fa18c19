#include "quillcore/net/tcp_io.h"

#include <asio.hpp>
#include <atomic>
#include <csignal>
#include <exception>
#include <string>
#include <thread>

#include "quillcore/base/diagnostics.h"

namespace quill::net {

namespace {

struct IoService {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::atomic<std::thread::id> threadId{};
    std::thread thread;

    IoService() {
        // A peer that vanishes must surface as a write error, not kill the process.
        std::signal(SIGPIPE, SIG_IGN);
        thread = std::thread([this] {
            threadId = std::this_thread::get_id();
            for (;;) {
                try {
                    context.run();
                    return;
                } catch (const std::exception& e) {
                    coreDiagnostic(std::string("I/O handler threw: ") + e.what());
                }
            }
        });
    }
};

// Stops the I/O thread at exit. The context itself is left alive on purpose: sockets owned
// by objects that outlive this (other statics) still need it when they are destroyed.
struct IoStopper {
    IoService* service;
    ~IoStopper() {
        service->guard.reset();
        service->context.stop();
        if (service->thread.joinable()) {
            if (service->thread.get_id() == std::this_thread::get_id()) service->thread.detach();
            else service->thread.join();
        }
    }
};

IoService& service() {
    static IoService* instance = new IoService;
    static IoStopper stopper{instance};
    return *instance;
}

}  // namespace

asio::io_context& ioContext() { return service().context; }

bool onIoThread() { return service().threadId.load() == std::this_thread::get_id(); }

}  // namespace quill::net
