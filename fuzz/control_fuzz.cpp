// Parses untrusted "ctl" data-channel messages. Whatever parses must serialise to bytes that
// parse again to the same bytes; whatever does not must fail with a DecodingError.
#include <cstdlib>

#include "quillcore/control/control_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quill::Quillmate_V0_Envelope envelope;
    try {
        envelope = quill::parseEnvelope(quill::ByteView(data, size));
    } catch (const quill::DecodingError&) {
        return 0;
    }
    quill::Bytes once = quill::serializedData(envelope);
    quill::Quillmate_V0_Envelope again = quill::parseEnvelope(once);
    if (quill::serializedData(again) != once) std::abort();
    // Equality must agree with itself on copies (a NaN makes a value unequal to itself).
    quill::Quillmate_V0_Envelope copy = again;
    if ((copy == again) != quill::equalMessages(again, envelope)) std::abort();
    return 0;
}
