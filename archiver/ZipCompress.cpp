// The compression stage: one source stream into the data bytes of one entry, deflated block by
// block through zlib (its 2-byte header and 4-byte trailer cut, so a raw deflate stream remains),
// with the entry's CRC-32 and sizes.
#include <algorithm>
#include <random>
#include <vector>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "archiver/ZipZlib.h"

using zip::kSentinel32;

namespace {

// The traditional ZIP encryption of the PKWARE application note.
class TraditionalCipher {
public:
    explicit TraditionalCipher(const std::string& password) {
        for (unsigned char c : password) Update(c);
    }
    std::uint8_t Encrypt(std::uint8_t plain) {
        const std::uint32_t temp = (keys_[2] | 2) & 0xFFFF;
        const auto stream = static_cast<std::uint8_t>((temp * (temp ^ 1)) >> 8);
        Update(plain);
        return plain ^ stream;
    }

private:
    static std::uint32_t Crc(std::uint32_t crc, std::uint8_t b) { return zip::Crc32Update(crc, &b, 1); }
    void Update(std::uint8_t c) {
        keys_[0] = Crc(keys_[0], c);
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
        keys_[2] = Crc(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
    }
    std::uint32_t keys_[3] = {305419896u, 591751049u, 878082192u};
};

}  // namespace

bool TZipBaseArchiver::CompressStream(TStream& source, TStream& output, TDirItem& item) {
    const auto operation = static_cast<TZipProcessOperation>(item.Operation);
    return CompressStream(source, output, item, OwnDeflater(), Zip64Mode,
                          [&](std::int64_t consumed, std::int64_t size) {
                              return RaiseBlockProgress(item.SourceFileName, operation, consumed, size);
                          });
}

TZlibDeflater& TZipBaseArchiver::OwnDeflater() {
    if (!deflater_) deflater_ = std::make_unique<TZlibDeflater>();
    return *deflater_;
}

bool TZipBaseArchiver::RaiseBlockProgress(const std::string& fileName, TZipProcessOperation operation,
                                          std::int64_t consumed, std::int64_t size) {
    currentFileSize_ = static_cast<long double>(size);
    currentFileDone_ = static_cast<long double>(consumed);
    DoFileProgress(fileName, operation, cancelRequested_, ppProcess,
                   static_cast<double>(currentFileDone_ / currentFileSize_ * 100));
    if (cancelRequested_) return false;
    DoOverallProgress(operation, ppProcess, cancelRequested_,
                      static_cast<double>((currentFileDone_ / currentFileSize_ + processedCount_) / totalCount_ * 100));
    return !cancelRequested_;
}

bool TZipBaseArchiver::CompressStream(TStream& source, TStream& output, TDirItem& item, TZlibDeflater& deflater,
                                      TZip64Mode zip64Mode, const TZipBlockHook& beforeBlock,
                                      std::int64_t measuredSize, TZipBlockRunner* runner) const {
    zip::CentralFileHeader head = item;  // worked on here, stored back at the end
    source.SetPosition(0);
    const std::int64_t sourceSize = measuredSize >= 0 ? measuredSize : source.Size();
    std::int64_t consumed = 0;
    std::int64_t compressedTotal = 0;
    std::uint32_t crc = 0xFFFFFFFF;
    std::uint32_t dataCrc = 0xFFFFFFFF;  // of the bytes written, for the read-back check
    const std::uint8_t level = item.CompressionMode;
    const std::int64_t blockSize = zip::BlockSizeForLevel(level);
    const bool encrypting = !item.Password.empty();
    // Set when the hook stopped the run (a cancel): the result is then false and nothing is raised.
    bool stopped = false;

    TZipBlockRunner::Outcome apart;
    if (runner && head.Method != 0 && level > 0 && !encrypting && sourceSize > blockSize &&
        runner->Run(source, output, level, blockSize, sourceSize, apart)) {
        // The blocks were deflated apart, with the bytes of the loop below.
        consumed = apart.consumed;
        compressedTotal = apart.compressed;
        crc = apart.crc;
        dataCrc = ~apart.dataCrc;
        stopped = apart.stopped;
    } else {
        // The block loop.
        std::uint8_t* const input = deflater.InputBuffer(std::min(sourceSize, blockSize));
        deflater.Start(level);
        std::unique_ptr<TraditionalCipher> cipher;
        bool deflateCalled = false;
        try {
            if (encrypting) {
                // The header's check bytes need the CRC before any data is written: read it all once.
                std::vector<std::uint8_t> pass(static_cast<std::size_t>(std::min(sourceSize, blockSize)));
                for (std::int64_t done = 0; done < sourceSize;) {
                    const std::int64_t got = source.Read(pass.data(), std::min(blockSize, sourceSize - done));
                    if (got <= 0) break;
                    crc = zip::Crc32Update(crc, pass.data(), got);
                    done += got;
                }
                source.SetPosition(0);
                cipher = std::make_unique<TraditionalCipher>(item.Password);
                const std::uint32_t finalCrc = ~crc;
                std::uint8_t header[12];
                std::random_device random;
                for (int i = 0; i < 10; ++i) header[i] = static_cast<std::uint8_t>(random());
                header[10] = static_cast<std::uint8_t>(finalCrc >> 16);
                header[11] = static_cast<std::uint8_t>(finalCrc >> 24);
                for (std::uint8_t& b : header) b = cipher->Encrypt(b);
                output.WriteBuffer(header, sizeof header);
                dataCrc = zip::Crc32Update(dataCrc, header, sizeof header);
                compressedTotal = sizeof header;
            }
            while (consumed < sourceSize) {
                if (!beforeBlock(consumed, sourceSize)) {
                    stopped = true;
                    break;
                }
                const std::int64_t blockLength = std::min(blockSize, sourceSize - consumed);
                if (source.Read(input, blockLength) < blockLength) break;
                if (!encrypting) crc = zip::Crc32Update(crc, input, blockLength);
                std::uint8_t* out = input;  // a stored block goes out as it came in
                std::int64_t offset = 0;
                std::int64_t produced = blockLength;
                if (head.Method != 0) {
                    const std::int64_t room = TZlibDeflater::OutputRoom(blockLength);
                    out = deflater.OutputBuffer(room);
                    const bool last = sourceSize - consumed == blockLength;
                    deflateCalled = true;
                    produced = deflater.Deflate(input, static_cast<std::uint32_t>(blockLength), out,
                                                static_cast<std::uint32_t>(room), last);
                    if (consumed == 0 && deflater.Wrapped()) {
                        offset = 2;  // the zlib header; the trailer of a stream at level 0 stays
                        produced -= 2;
                    }
                }
                consumed += blockLength;
                produced = std::max<std::int64_t>(produced, 0);
                if (cipher) {
                    for (std::int64_t k = 0; k < produced; ++k) out[offset + k] = cipher->Encrypt(out[offset + k]);
                }
                if (output.Write(out + offset, produced) < produced) {
                    consumed -= blockLength;
                    break;
                }
                dataCrc = zip::Crc32Update(dataCrc, out + offset, produced);
                compressedTotal += produced;
            }
        } catch (...) {
            deflater.End();
            throw;
        }
        const int ended = deflater.End();
        // zlib calls a stream that was begun and not finished an error.
        if (!stopped && ended < 0 && deflateCalled) throw ECompressionError();
    }

    if (consumed == sourceSize) {
        if (compressedTotal >= kSentinel32 || zip64Mode == zmAlways) {
            item.HasZip64 = true;
            head.CompressedSize = kSentinel32;
            item.Zip64CompressedSize = compressedTotal;
        } else {
            head.CompressedSize = static_cast<std::uint32_t>(compressedTotal);
        }
        if (sourceSize >= kSentinel32 || zip64Mode == zmAlways) {
            item.HasZip64 = true;
            head.UncompressedSize = kSentinel32;
            item.Zip64UncompressedSize = sourceSize;
        } else {
            head.UncompressedSize = static_cast<std::uint32_t>(sourceSize);
        }
        head.Crc32 = ~crc;
        if (item.HasZip64 && zip64Mode == zmDisabled) {
            throw EZipException::CreateWithArgs(41, this, {item.SourceFileName});
        }
        if (sourceSize == 0) head.Method = 0;
        item.Crc32 = head.Crc32;
        item.DataCrc32 = ~dataCrc;
        item.CompressedSize = head.CompressedSize;
        item.UncompressedSize = head.UncompressedSize;
        item.Method = head.Method;
        return true;
    }
    if (stopped) return false;
    throw EZipException::CreateWithArgs(34, this, {sourceSize, consumed});
}
