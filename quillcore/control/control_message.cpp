#include "quillcore/control/control_message.h"

#include <climits>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/unknown_field_set.h>
#include <mutex>
#include <string>

#include "quillcore/base/diagnostics.h"

namespace quill {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// libprotobuf reports some parse failures (invalid UTF-8) on stderr. While we parse, its
// lines are collected for the error we throw; any other line goes out as our diagnostic.
thread_local std::string* collectedLog = nullptr;

void logHandler(google::protobuf::LogLevel, const char*, int, const std::string& message) {
    if (collectedLog) {
        if (!collectedLog->empty()) *collectedLog += "; ";
        *collectedLog += message;
        return;
    }
    coreDiagnostic("protobuf: " + message);
}

void installLogHandler() {
    static std::once_flag once;
    std::call_once(once, [] { google::protobuf::SetLogHandler(&logHandler); });
}

bool fieldEqual(const Message& a, const Message& b, const FieldDescriptor* f);

template <class Get>
bool repeatedEqual(int count, Get get) {
    for (int i = 0; i < count; ++i)
        if (!get(i)) return false;
    return true;
}

bool repeatedFieldEqual(const Message& a, const Message& b, const FieldDescriptor* f) {
    const Reflection* ra = a.GetReflection();
    const Reflection* rb = b.GetReflection();
    int count = ra->FieldSize(a, f);
    if (count != rb->FieldSize(b, f)) return false;
    switch (f->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedInt32(a, f, i) == rb->GetRepeatedInt32(b, f, i); });
        case FieldDescriptor::CPPTYPE_INT64:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedInt64(a, f, i) == rb->GetRepeatedInt64(b, f, i); });
        case FieldDescriptor::CPPTYPE_UINT32:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedUInt32(a, f, i) == rb->GetRepeatedUInt32(b, f, i); });
        case FieldDescriptor::CPPTYPE_UINT64:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedUInt64(a, f, i) == rb->GetRepeatedUInt64(b, f, i); });
        case FieldDescriptor::CPPTYPE_DOUBLE:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedDouble(a, f, i) == rb->GetRepeatedDouble(b, f, i); });
        case FieldDescriptor::CPPTYPE_FLOAT:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedFloat(a, f, i) == rb->GetRepeatedFloat(b, f, i); });
        case FieldDescriptor::CPPTYPE_BOOL:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedBool(a, f, i) == rb->GetRepeatedBool(b, f, i); });
        case FieldDescriptor::CPPTYPE_ENUM:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedEnumValue(a, f, i) == rb->GetRepeatedEnumValue(b, f, i); });
        case FieldDescriptor::CPPTYPE_STRING:
            return repeatedEqual(count, [&](int i) { return ra->GetRepeatedString(a, f, i) == rb->GetRepeatedString(b, f, i); });
        case FieldDescriptor::CPPTYPE_MESSAGE:
            return repeatedEqual(count, [&](int i) {
                return equalMessages(ra->GetRepeatedMessage(a, f, i), rb->GetRepeatedMessage(b, f, i));
            });
    }
    return false;
}

bool fieldEqual(const Message& a, const Message& b, const FieldDescriptor* f) {
    if (f->is_repeated()) return repeatedFieldEqual(a, b, f);
    const Reflection* ra = a.GetReflection();
    const Reflection* rb = b.GetReflection();
    switch (f->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32: return ra->GetInt32(a, f) == rb->GetInt32(b, f);
        case FieldDescriptor::CPPTYPE_INT64: return ra->GetInt64(a, f) == rb->GetInt64(b, f);
        case FieldDescriptor::CPPTYPE_UINT32: return ra->GetUInt32(a, f) == rb->GetUInt32(b, f);
        case FieldDescriptor::CPPTYPE_UINT64: return ra->GetUInt64(a, f) == rb->GetUInt64(b, f);
        // Numeric comparison: 0.0 == -0.0, NaN != NaN (protobuf's own comparison goes by bits).
        case FieldDescriptor::CPPTYPE_DOUBLE: return ra->GetDouble(a, f) == rb->GetDouble(b, f);
        case FieldDescriptor::CPPTYPE_FLOAT: return ra->GetFloat(a, f) == rb->GetFloat(b, f);
        case FieldDescriptor::CPPTYPE_BOOL: return ra->GetBool(a, f) == rb->GetBool(b, f);
        case FieldDescriptor::CPPTYPE_ENUM: return ra->GetEnumValue(a, f) == rb->GetEnumValue(b, f);
        case FieldDescriptor::CPPTYPE_STRING: return ra->GetString(a, f) == rb->GetString(b, f);
        case FieldDescriptor::CPPTYPE_MESSAGE: {
            bool hasA = ra->HasField(a, f);
            if (hasA != rb->HasField(b, f)) return false;
            return !hasA || equalMessages(ra->GetMessage(a, f), rb->GetMessage(b, f));
        }
    }
    return false;
}

std::string unknownBytes(const Message& m) {
    std::string out;
    m.GetReflection()->GetUnknownFields(m).SerializeToString(&out);
    return out;
}

}  // namespace

bool equalMessages(const Message& a, const Message& b) {
    const google::protobuf::Descriptor* d = a.GetDescriptor();
    if (d != b.GetDescriptor()) return false;
    const Reflection* ra = a.GetReflection();
    const Reflection* rb = b.GetReflection();
    for (int i = 0; i < d->oneof_decl_count(); ++i) {
        const FieldDescriptor* fa = ra->GetOneofFieldDescriptor(a, d->oneof_decl(i));
        if (fa != rb->GetOneofFieldDescriptor(b, d->oneof_decl(i))) return false;
        if (fa && !fieldEqual(a, b, fa)) return false;
    }
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (f->containing_oneof()) continue;
        if (!fieldEqual(a, b, f)) return false;
    }
    return unknownBytes(a) == unknownBytes(b);
}

Bytes serializedData(const Message& message) {
    installLogHandler();
    std::string out;
    std::string log;
    collectedLog = &log;
    bool ok = message.SerializeToString(&out);
    collectedLog = nullptr;
    // A string field that is not UTF-8 is only logged by libprotobuf, yet every receiver
    // refuses the message whole: it counts as a failure here.
    if (!ok || !log.empty())
        throw EncodingError("The control message could not be encoded" + (log.empty() ? "." : ": " + log));
    return Bytes(out.begin(), out.end());
}

void parseMessage(ByteView bytes, Message& into) {
    installLogHandler();
    std::string log;
    bool ok = false;
    if (bytes.size() <= static_cast<std::size_t>(INT_MAX)) {
        collectedLog = &log;
        // ParseFromArray: clears first, whole input, nesting limit 100 (protobuf's default).
        ok = into.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
        collectedLog = nullptr;
    }
    if (!ok) {
        into.Clear();
        throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                            "The control message is not a valid protocol buffer" + (log.empty() ? "." : ": " + log));
    }
}

Quillmate_V0_Envelope parseEnvelope(ByteView bytes) {
    Quillmate_V0_Envelope envelope;
    parseMessage(bytes, envelope);
    return envelope;
}

}  // namespace quill
