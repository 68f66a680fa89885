#include "archiver/ZipZlib.h"

#include <zlib.h>

#include "archiver/ZipExcept.h"

struct TZlibDeflater::State {
    z_stream stream{};
};

TZlibDeflater::TZlibDeflater(int level) : state_(std::make_unique<State>()) {
    // The archiver was built against zlib 1.2.3; any 1.x library accepts that version string.
    if (deflateInit_(&state_->stream, level, "1.2.3", static_cast<int>(sizeof(z_stream))) < 0) {
        deflateEnd(&state_->stream);
        ended_ = true;
        throw ECompressionError();
    }
}

TZlibDeflater::~TZlibDeflater() {
    if (!ended_) deflateEnd(&state_->stream);
}

std::int64_t TZlibDeflater::Deflate(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                                    std::uint32_t outputLength, bool last) {
    z_stream& s = state_->stream;
    s.next_in = const_cast<Bytef*>(input);
    s.avail_in = inputLength;
    s.next_out = output;
    s.avail_out = outputLength;
    const uLong before = s.total_out;
    if (deflate(&s, last ? Z_FINISH : Z_SYNC_FLUSH) < 0) throw ECompressionError();
    return static_cast<std::int64_t>(s.total_out - before);
}

int TZlibDeflater::End() {
    if (ended_) return Z_OK;
    ended_ = true;
    return deflateEnd(&state_->stream);
}
