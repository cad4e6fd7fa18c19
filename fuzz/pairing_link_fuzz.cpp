// Parses arbitrary text as a pairing link. Whatever parses must print back to a URL that
// parses to the same link.
#include <cstdlib>
#include <string>

#include "quillcore/pairing/pairing_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string problem;
    auto link = quill::PairingLink::fromURL(text, &problem);
    if (!link) {
        if (problem.empty()) std::abort();
        return 0;
    }
    if (link->version != 0 || link->fingerprint.size() != 32 || link->secret.size() != 16 || link->issuedAt)
        std::abort();
    for (const auto& endpoint : link->endpoints)
        if (endpoint.empty() || endpoint.find(',') != std::string::npos) std::abort();
    auto again = quill::PairingLink::fromURL(link->url());
    if (!again || !(*again == *link)) std::abort();
    return 0;
}
