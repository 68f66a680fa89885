#pragma once
// The adapter to zlib: one deflate stream with the zlib wrapper, driven block by block.
#include <cstdint>
#include <memory>

class TZlibDeflater {
public:
    // Starts a stream at level 0..9 (method 8, window bits 15, memory level 8, default strategy).
    // Raises ECompressionError when zlib refuses.
    explicit TZlibDeflater(int level);
    ~TZlibDeflater();
    TZlibDeflater(const TZlibDeflater&) = delete;
    TZlibDeflater& operator=(const TZlibDeflater&) = delete;

    // One deflate call over input into output, with Z_SYNC_FLUSH or, when last, Z_FINISH. Returns the
    // bytes produced. Raises ECompressionError on a negative zlib result.
    std::int64_t Deflate(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                         std::uint32_t outputLength, bool last);
    // Ends the stream; returns zlib's result (negative for a stream begun and not finished).
    int End();

private:
    struct State;
    std::unique_ptr<State> state_;
    bool ended_ = false;
};
