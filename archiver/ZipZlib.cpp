#include "archiver/ZipZlib.h"

#include <zlib.h>

#include "archiver/ZipExcept.h"

namespace {

constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;

}  // namespace

struct TZlibDeflater::State {
    z_stream stream{};
    bool initialised = false;  // stream holds zlib's state
    bool reusable = false;     // that state may be reset for the next stream
    int level = -1;
    bool running = false;   // a stream was started and not ended
    bool begun = false;     // a deflate call was made on it
    bool finished = false;  // its last call finished it (Z_FINISH)

    void Release() {
        if (initialised) deflateEnd(&stream);
        stream = z_stream{};
        initialised = false;
        reusable = false;
    }
    ~State() { Release(); }
};

TZlibDeflater::TZlibDeflater() : state_(std::make_unique<State>()) {}

TZlibDeflater::TZlibDeflater(int level) : TZlibDeflater() { Start(level); }

TZlibDeflater::~TZlibDeflater() = default;

void TZlibDeflater::Start(int level) {
    State& s = *state_;
    s.running = true;
    s.begun = false;
    s.finished = false;
    if (s.initialised && s.reusable && s.level == level && deflateReset(&s.stream) == Z_OK) return;
    s.Release();
    // The archiver was built against zlib 1.2.3; any 1.x library accepts that version string.
    // Above level 0 the stream is raw: its deflate bytes are the same, without the header and the
    // Adler-32 trailer that the archive leaves out anyway, so no checksum is computed for nothing.
    const int windowBits = level > 0 ? -kWindowBits : kWindowBits;
    if (deflateInit2_(&s.stream, level, Z_DEFLATED, windowBits, kMemLevel, Z_DEFAULT_STRATEGY, "1.2.3",
                      static_cast<int>(sizeof(z_stream))) < 0) {
        s.Release();
        s.running = false;
        throw ECompressionError();
    }
    s.initialised = true;
    s.reusable = true;
    s.level = level;
}

std::int64_t TZlibDeflater::Step(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                                 std::uint32_t outputLength, int flush) {
    State& st = *state_;
    z_stream& s = st.stream;
    s.next_in = const_cast<Bytef*>(input);
    s.avail_in = inputLength;
    s.next_out = output;
    s.avail_out = outputLength;
    const uLong before = s.total_out;
    st.begun = true;
    const int result = deflate(&s, flush);
    // Input left over means the output did not take it all: the caller's bound was wrong.
    if (result < 0 || (flush == Z_NO_FLUSH && s.avail_in != 0)) {
        // A stream that failed is not trusted again: the next one starts from a fresh state.
        st.reusable = false;
        throw ECompressionError();
    }
    return static_cast<std::int64_t>(s.total_out - before);
}

std::int64_t TZlibDeflater::Deflate(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                                    std::uint32_t outputLength, bool last) {
    const std::int64_t produced = Step(input, inputLength, output, outputLength, last ? Z_FINISH : Z_SYNC_FLUSH);
    state_->finished = last;
    return produced;
}

std::int64_t TZlibDeflater::DeflatePart(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                                        std::uint32_t outputLength) {
    return Step(input, inputLength, output, outputLength, Z_NO_FLUSH);
}

void TZlibDeflater::Prime(const std::uint8_t* dictionary, std::uint32_t length) {
    State& s = *state_;
    if (length == 0) return;
    if (deflateSetDictionary(&s.stream, dictionary, length) != Z_OK) {
        s.reusable = false;
        throw ECompressionError();
    }
}

int TZlibDeflater::End() {
    State& s = *state_;
    if (!s.running) return Z_OK;
    s.running = false;
    // deflateEnd calls a stream that was begun (its header written) and not finished a data error.
    return s.begun && !s.finished ? Z_DATA_ERROR : Z_OK;
}

bool TZlibDeflater::Wrapped() const { return state_->level == 0; }
