// The pairing link on show, the comparison state and the maintenance tick.
#include <QPointer>
#include <cmath>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"

namespace quill::host {

using detail::qs;

namespace {

// The code a window showed, as comparisonCode() gives it ("123 456"; none for a QR request),
// or nothing when the text is no code: then no exchange is the one on show.
std::optional<std::optional<PairingCode>> shownPairingCode(const std::optional<QString>& text) {
    if (!text) return std::optional<PairingCode>();
    QString digits = *text;
    digits.remove(QLatin1Char(' '));
    bool ok = false;
    const uint value = digits.toUInt(&ok);
    if (!ok || digits.size() != 6) return std::nullopt;
    return PairingCode(value);
}

}  // namespace

void HostModel::startMaintenance() {
    if (maintenanceTask_) maintenanceTask_->cancel();
    QPointer<HostModel> self(this);
    const double period = env_.timing.maintenancePeriod;
    setMaintenanceTask(spawn(this, [self, period](CancelToken token) -> QCoro::Task<> {
        for (;;) {
            if (token.isCancelled()) co_return;
            if (self) co_await self->maintenanceTick();
            co_await sleepFor(period, token);
        }
    }));
}

QCoro::Task<> HostModel::maintenanceTick() {
    QPointer<HostModel> self(this);
    refreshPermissions();
    if ((!screenRecordingGranted_ || !accessibilityGranted_) && env_.windowManager &&
        !env_.windowManager->isVisible(QStringLiteral("permissions")))
        env_.windowManager->show(QStringLiteral("permissions"), QStringLiteral("Permissions"), {580, 430});
    showPublicationProblem();
    showRefusedConnections();
    co_await syncPairingState();
    if (!self) co_return;
    if (!pairingLink_ || !pairingLink_->issuedAt) co_return;
    const double age = std::chrono::duration<double>(env_.clock->now() - *pairingLink_->issuedAt).count();
    // Spent by a request (whatever became of its exchange) or expired: no device can use it.
    if (age >= PairingLink::lifetime || (pairing_ && pairing_->activeLink() != pairingLink_)) {
        co_await refreshPairingLink();
        co_return;
    }
    // The listener moves to a new port at every resume: a code that names addresses the host
    // no longer listens on is replaced at once instead of when it expires.
    if (pairingLink_->endpoints != currentEndpoints()) co_await refreshPairingLink();
}

QCoro::Task<> HostModel::syncPairingState() {
    auto pairing = pairing_;
    if (!pairing) co_return;
    // Both read in one moment of the pairing object.
    const ComparisonState state = pairing->comparisonState();
    const bool awaiting = state.awaitingConfirmation;
    const std::optional<PairingCode>& code = state.code;
    const bool wasAwaiting = isAwaitingPairingConfirmation_;
    setIsAwaitingPairingConfirmation(awaiting);
    setComparisonCode(code ? std::optional<QString>(qs(code->groupedText())) : std::nullopt);
    if (awaiting && !wasAwaiting && env_.windowManager)
        env_.windowManager->present(QStringLiteral("pairing"), QStringLiteral("Pair a Device"), {520, 700});
    if (awaiting) setPendingPairingName(qs(state.peerName));
    if (!awaiting && wasAwaiting) setPendingPairingName(QStringLiteral("A controller"));
    if (pairingLink_) setPairingSecondsRemaining(secondsRemaining(*pairingLink_));
    co_return;
}

std::vector<std::string> HostModel::currentEndpoints() const {
    if (!listenerPort_ || !env_.localAddresses) return {};
    return env_.localAddresses(*listenerPort_);
}

QCoro::Task<> HostModel::refreshPairingLink() {
    auto pairing = pairing_;
    if (!pairing) co_return;
    applyPairingLink(pairing->issueLink(currentEndpoints(), env_.clock->now()));
    co_return;
}

void HostModel::applyPairingLink(const PairingLink& link) {
    setPairingLink(link);
    const QString url = qs(link.url());
    setPairingURL(url);
    setPairingQRCode(env_.makeQRCode ? env_.makeQRCode(url, 9.0) : nullptr);
    setPairingSecondsRemaining(secondsRemaining(link));
}

qint64 HostModel::secondsRemaining(const PairingLink& link) const {
    if (!link.issuedAt) return 0;
    const double elapsed = std::chrono::duration<double>(env_.clock->now() - *link.issuedAt).count();
    const double remaining = std::ceil(PairingLink::lifetime - elapsed);
    return remaining < 0 ? 0 : static_cast<qint64>(remaining);
}

QCoro::Task<> HostModel::confirmComparison(std::shared_ptr<HostPairing> pairing) {
    if (pairing) pairing->confirmComparison();
    co_return;
}

QCoro::Task<> HostModel::confirmComparison(std::shared_ptr<HostPairing> pairing, std::optional<QString> shownCode) {
    if (!pairing) co_return;
    if (auto shown = shownPairingCode(shownCode)) pairing->confirmComparison(*shown);
}

QCoro::Task<> HostModel::rejectComparison(std::shared_ptr<HostPairing> pairing) {
    if (pairing) pairing->rejectComparison();
    co_return;
}

QCoro::Task<> HostModel::rejectComparison(std::shared_ptr<HostPairing> pairing, std::optional<QString> shownCode) {
    if (!pairing) co_return;
    if (auto shown = shownPairingCode(shownCode)) pairing->rejectComparison(*shown);
}

}  // namespace quill::host
