#pragma once
// The adapter to zlib: one deflate stream, driven block by block, with the buffers its blocks are
// read into and compressed into. One adapter serves item after item, on one thread: a new stream
// at the same level reuses the state of the last one, and the buffers stay.
#include <cstdint>
#include <memory>
#include <utility>

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
    // One deflate call with Z_NO_FLUSH over input, whose bytes all enter the stream (output must
    // have room for what it produces; the bound for a whole block does). A block fed in parts this
    // way and ended by Deflate gives the bytes of one call over the whole block: deflate waits for
    // more input before it decides anything near the end of what it has. Returns the bytes produced.
    std::int64_t DeflatePart(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                             std::uint32_t outputLength);
    // Before the first Deflate of a raw stream: the bytes that came before its input (up to 32 KiB
    // count), so that its matches may reach back into them. A block started this way with the 32 KiB
    // before it deflates to the same bytes as it does inside one stream of the whole input that ends
    // every block with Z_SYNC_FLUSH: that flush leaves nothing but the window to the next block, and
    // zlib never lets a match look past the input it has. Raises ECompressionError when zlib refuses.
    void Prime(const std::uint8_t* dictionary, std::uint32_t length);
    // Ends the stream; returns what zlib's deflateEnd answers for it: negative for a stream begun
    // and not finished, else 0. The state stays for the next Start.
    int End();
    // Whether the stream begins with zlib's two-byte header and ends with its Adler-32 trailer.
    bool Wrapped() const;

    // The output room a block of inputLength bytes is given, so that one Deflate call takes it
    // whole: the input, a tenth more and 12 bytes, rounded up to 256.
    static std::int64_t OutputRoom(std::int64_t inputLength) {
        const std::int64_t wanted = inputLength + inputLength / 10 + 12;
        return (wanted + 255) / 256 * 256;
    }

    // Buffers of at least size bytes, their contents undefined, kept from call to call: a block of
    // a large mail takes megabytes, which allocated and cleared afresh for every block cost more
    // in page faults than the copy they hold.
    std::uint8_t* InputBuffer(std::int64_t size) { return input_.Reserve(size); }
    std::uint8_t* OutputBuffer(std::int64_t size) { return output_.Reserve(size); }
    // Hands the output buffer over (its bytes kept) to a caller that keeps them for later; the next
    // OutputBuffer allocates a new one.
    std::unique_ptr<std::uint8_t[]> TakeOutputBuffer() { return output_.Take(); }

private:
    // One deflate call with flush over input into output; returns the bytes produced.
    std::int64_t Step(const std::uint8_t* input, std::uint32_t inputLength, std::uint8_t* output,
                      std::uint32_t outputLength, int flush);
    class Buffer {
    public:
        std::uint8_t* Reserve(std::int64_t size) {
            if (size > capacity_) {
                data_.reset();  // the old block goes before the new one is taken
                data_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size));
                capacity_ = size;
            }
            return data_.get();
        }
        std::unique_ptr<std::uint8_t[]> Take() {
            capacity_ = 0;
            return std::move(data_);
        }

    private:
        std::unique_ptr<std::uint8_t[]> data_;
        std::int64_t capacity_ = 0;
    };

    struct State;
    std::unique_ptr<State> state_;
    Buffer input_;
    Buffer output_;
};
