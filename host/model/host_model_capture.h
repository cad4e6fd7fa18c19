#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/model/host_model_services.h"

namespace quill {
class HostSession;
}

namespace quill::host {

// Capture engines on the X server's screen, each feeding one session: frames go straight to the
// session's video source from the capture thread, and a capture that dies closes the session.
std::function<std::shared_ptr<CaptureEngine>(std::shared_ptr<HostSession>)> screenCaptureEngineFactory(
    std::string displayName = {});

}  // namespace quill::host
