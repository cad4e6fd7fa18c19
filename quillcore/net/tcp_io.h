#pragma once

namespace asio {
class io_context;
}

namespace quill::net {

// The one process-wide I/O context. Its thread starts on first use and is stopped and
// joined when the process exits. Completion handlers of every TCP connection and listener
// run on that thread.
asio::io_context& ioContext();

// True on the I/O thread: blocking framework calls must never run there.
bool onIoThread();

}  // namespace quill::net
