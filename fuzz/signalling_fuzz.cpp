// Decodes untrusted signalling plaintext. Anything that decodes must encode again and decode
// to an equal message; anything else must fail with a DecodingError and nothing else.
#include <cstdlib>

#include "quillcore/signalling/signalling_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<quill::SignallingMessage> message;
    try {
        message = quill::SignallingMessage::decode(quill::ByteView(data, size));
    } catch (const quill::DecodingError&) {
        return 0;
    }
    std::string text = message->encode();
    if (!(quill::SignallingMessage::decode(text) == *message)) std::abort();
    if (message->typeName() != std::visit([](const auto& m) -> const std::string& { return m.type(); },
                                          message->payload()))
        std::abort();
    return 0;
}
