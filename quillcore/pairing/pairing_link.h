#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/identity/device_identity.h"

namespace quill {

// The host's one-time invitation to pair, shown as a QR code:
// quillmate://pair?v=0&id=<device ID>&fp=<fingerprint>&s=<secret>[&ep=<endpoints>]
struct PairingLink {
    // Valid this long after it was issued.
    static constexpr double lifetime = 300.0;

    // A host's link: version 0, the identity's device ID and fingerprint, issued at `issuedAt`.
    PairingLink(const DeviceIdentity& identity, Bytes secret, std::vector<std::string> endpoints, SystemTime issuedAt);
    PairingLink(std::int64_t version, DeviceID deviceID, Bytes fingerprint, Bytes secret,
                std::vector<std::string> endpoints, std::optional<SystemTime> issuedAt);

    // A fresh 16-byte secret.
    static Bytes makeSecret();

    // A link without an issue time never expires; one exactly `lifetime` seconds old has.
    bool isExpired(SystemTime now, double lifetime = PairingLink::lifetime) const;

    std::string url() const;

    // None for anything that is not a valid pairing link. When `problem` is given it receives
    // a short text saying which check failed.
    static std::optional<PairingLink> fromURL(std::string_view url, std::string* problem = nullptr);

    bool operator==(const PairingLink&) const = default;

    std::int64_t version;
    DeviceID deviceID;
    Bytes fingerprint;
    Bytes secret;
    std::vector<std::string> endpoints;
    std::optional<SystemTime> issuedAt;
};

}  // namespace quill
