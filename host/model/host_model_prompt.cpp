#include "host/model/host_model_prompt.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <memory>

#include <qcoro/qcorosignal.h>

namespace quill::host {

SessionPromptTexts sessionPromptTexts(const QString& peerName, SessionMode requestedMode) {
    const QString access =
        requestedMode == SessionMode::control ? QStringLiteral("view and control") : QStringLiteral("view-only");
    return {QStringLiteral("Allow ") + peerName + QStringLiteral(" to connect?"),
            QStringLiteral("The controller requested ") + access +
                QStringLiteral(" access. Session indicators and logging remain active.")};
}

QCoro::Task<bool> MessageBoxSessionPrompt::askToAllowSession(QString peerName, SessionMode mode) {
    const SessionPromptTexts texts = sessionPromptTexts(peerName, mode);
    // Owned here, never deleted on close: the wait below must see its signal.
    auto box = std::make_unique<QMessageBox>();
    box->setIcon(QMessageBox::Warning);
    // The name comes from the controller: shown as text, never as markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(texts.message);
    box->setInformativeText(texts.informative);
    QPushButton* allow = box->addButton(QStringLiteral("Allow Session"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Decline"), QMessageBox::RejectRole);
    box->setDefaultButton(allow);
    box->open();
    box->raise();
    box->activateWindow();
    co_await qCoro(box.get(), &QDialog::finished);
    const bool allowed = box->clickedButton() == static_cast<QAbstractButton*>(allow);
    box->hide();
    box.release()->deleteLater();
    co_return allowed;
}

}  // namespace quill::host
