// Arbitrary byte streams into the frame reader. The first input byte picks how the rest is
// cut into reads; the frames and the error must not depend on the cut, and the header parser
// must agree with the reader.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "quillcore/transport/frame_channel.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    std::vector<quill::Bytes> frames;
    std::optional<quill::FrameChannelError> error;
};

Outcome readInOneGo(quill::ByteView stream) {
    Outcome out;
    quill::FrameReader reader;
    out.error = reader.feed(stream, out.frames);
    return out;
}

// As the channel reads: exactly wanted() bytes at a time, handed over as owned buffers.
Outcome readLikeTheChannel(quill::ByteView stream) {
    Outcome out;
    quill::FrameReader reader;
    std::size_t at = 0;
    while (at < stream.size() && !out.error) {
        std::size_t want = reader.wanted();
        require(want >= 1 && want <= quill::frame::kMaxFrameSize);
        std::size_t n = std::min(want, stream.size() - at);
        quill::Bytes chunk(stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        out.error = reader.feed(std::move(chunk), out.frames);
    }
    return out;
}

Outcome readInSteps(quill::ByteView stream, std::size_t step) {
    Outcome out;
    quill::FrameReader reader;
    for (std::size_t at = 0; at < stream.size() && !out.error; at += step)
        out.error = reader.feed(stream.subspan(at, std::min(step, stream.size() - at)), out.frames);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t step = 1 + data[0] % 17;
    quill::ByteView stream(data + 1, size - 1);

    auto whole = readInOneGo(stream);
    auto exact = readLikeTheChannel(stream);
    auto stepped = readInSteps(stream, step);
    require(whole.frames == exact.frames && whole.error == exact.error);
    require(whole.frames == stepped.frames && whole.error == stepped.error);

    // Re-encoding the frames gives back the stream up to where reading stopped.
    quill::Bytes again;
    for (const auto& f : whole.frames) {
        require(f.size() <= quill::frame::kMaxFrameSize);
        quill::append(again, quill::frame::encode(f));
    }
    require(again.size() <= stream.size());
    require(std::equal(again.begin(), again.end(), stream.begin()));

    // An error is always an oversize header, found by the header parser right there.
    if (whole.error) {
        require(whole.error->kind == quill::FrameChannelError::Kind::frameTooLarge);
        require(stream.size() >= again.size() + quill::frame::kHeaderSize);
        std::uint8_t header[quill::frame::kHeaderSize];
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(again.size()), quill::frame::kHeaderSize, header);
        try {
            quill::frame::parseHeader(header);
            require(false);
        } catch (const quill::FrameChannelError& e) {
            require(e == *whole.error);
            require(e.length > static_cast<std::int64_t>(quill::frame::kMaxFrameSize));
        }
    }
    return 0;
}
