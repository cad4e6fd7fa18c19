#pragma once

#include <QString>

#include "host/model/host_model_services.h"

namespace quill::host {

struct SessionPromptTexts {
    QString message;
    QString informative;
};

// "Allow <name> to connect?" and what the controller asked for (the requested mode, not the
// mode the session will get).
SessionPromptTexts sessionPromptTexts(const QString& peerName, SessionMode requestedMode);

// The attended-session question as a warning message box with "Allow Session" and "Decline".
// It is opened without a nested event loop, so other connections go on being handled while it
// waits; it has no time limit. Needs a QApplication.
class MessageBoxSessionPrompt : public SessionPrompt {
public:
    QCoro::Task<bool> askToAllowSession(QString peerName, SessionMode mode) override;
};

}  // namespace quill::host
