// Decodes arbitrary bytes as one pairing frame. A message that decodes must encode to text
// that decodes to an equal message.
#include <cstdlib>

#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/pairing/pairing_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quill::ByteView frame(data, size);
    try {
        quill::PairingMessage message = quill::PairingMessage::decode(frame);
        std::string text = message.encode();
        if (!(quill::PairingMessage::decode(quill::toBytes(text)) == message)) std::abort();
    } catch (const quill::DecodingError&) {
    } catch (const quill::EncodingError&) {
    }
    try {
        quill::decodePairingMessage(frame);
    } catch (const quill::PairingError&) {
    }
    try {
        quill::validatePeerKeys(frame.first(size < 32 ? size : 32), frame.last(size < 32 ? size : 32));
    } catch (const quill::PairingError&) {
    }
    return 0;
}
