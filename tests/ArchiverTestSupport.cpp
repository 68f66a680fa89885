#include "tests/ArchiverTestSupport.h"

#include <zlib.h>

#include "tests/TestSupport.h"

namespace testing_support {

std::unique_ptr<TZipArchiver> MakeJobArchiver(std::int64_t volumeSize) {
    auto a = std::make_unique<TZipArchiver>(nullptr);
    a->Name = "ZipArchiver";
    a->SetCompressionLevel(clMax);
    a->SetCompressionMode(9);
    a->SetSpanningMode(smSplitting);
    a->SpanningOptions().AdvancedNaming = false;
    a->SpanningOptions().VolumeSize = vsCustom;
    a->SpanningOptions().SetCustomVolumeSize(volumeSize);
    a->Options().Recurse = false;
    a->Options().StorePath = spNoPath;
    a->Options().FlushBuffers = true;
    a->Options().OEMFileNames = true;
    a->Zip64Mode = zmDisabled;
    return a;
}

std::vector<LocalEntry> LocalHeadersOf(const std::string& bytes) {
    std::vector<LocalEntry> out;
    for (std::size_t p = 0; p + 30 <= bytes.size(); ++p) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data() + p);
        if (zip::GetLE32(b) != zip::kLocalHeaderSignature) continue;
        const zip::LocalFileHeader h = zip::LocalFileHeader::Decode(b);
        if (p + 30 + h.NameLength > bytes.size()) continue;
        out.push_back(LocalEntry{static_cast<std::int64_t>(p), h, bytes.substr(p + 30, h.NameLength)});
    }
    return out;
}

std::string JoinHostFiles(const std::vector<std::string>& hostPaths) {
    std::string all;
    for (const std::string& p : hostPaths) all += ReadHostFile(p);
    return all;
}

std::string InflateRaw(const std::string& data) {
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK) return std::string();
    std::string out;
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    char buffer[65536];
    int r = Z_OK;
    while (r == Z_OK) {
        s.next_out = reinterpret_cast<Bytef*>(buffer);
        s.avail_out = sizeof buffer;
        r = inflate(&s, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - s.avail_out);
        if (r == Z_BUF_ERROR && s.avail_in == 0) break;
    }
    inflateEnd(&s);
    return r == Z_STREAM_END ? out : std::string();
}

}  // namespace testing_support
