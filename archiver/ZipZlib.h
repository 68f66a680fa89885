#pragma once
// The adapter to zlib: one deflate stream, driven block by block. One adapter serves item after
// item: a new stream at the same level reuses the state of the last one.
#include <cstdint>
#include <memory>

class TZlibDeflater {
public:
    // No stream yet; Start begins one.
    TZlibDeflater();
    // Starts a stream at level 0..9 at once.
    explicit TZlibDeflater(int level);
    ~TZlibDeflater();
    TZlibDeflater(const TZlibDeflater&) = delete;
    TZlibDeflater& operator=(const TZlibDeflater&) = delete;

    // Starts a new stream at level 0..9 (method 8, window bits 15, memory level 8, default
    // strategy): a raw deflate stream, except at level 0, which keeps zlib's header and trailer
    // (Wrapped). The state of the last stream is reset and reused when its level was the same:
    // deflateReset gives the same bytes as a fresh stream and spares allocating and clearing some
    // 400 KB per item. Raises ECompressionError when zlib refuses.
    void Start(int level);
    // One deflate call over input into output, with Z_SYNC_FLUSH or, when last, Z_FINISH. Returns the
    // bytes produced. Raises ECompressionError on a negative zlib result.
    std::int64_t Deflate(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                         std::uint32_t outputLength, bool last);
    // Ends the stream; returns what zlib's deflateEnd answers for it: negative for a stream begun
    // and not finished, else 0. The state stays for the next Start.
    int End();
    // Whether the stream begins with zlib's two-byte header and ends with its Adler-32 trailer.
    bool Wrapped() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
