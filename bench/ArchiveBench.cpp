// Prints how fast the archiver packs a folder into split volumes, and how much memory it takes.
// Usage: archive_bench [megabytes]   (runs in a machine folder of its own under $TMPDIR)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "archiver/ZipArchiver.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 40;
    const fs::path machine = fs::temp_directory_path() / "mailbale-bench";
    fs::remove_all(machine);
    const fs::path logs = machine / "drive_c" / "LOG_EML";
    fs::create_directories(logs);
    setenv("MAILBALE_MACHINE", machine.c_str(), 1);
    std::mt19937 random(7);
    // Half text that compresses, half random bytes that do not, in files of 1 MB.
    for (int i = 0; i < megabytes; ++i) {
        std::ofstream out(logs / ("mail" + std::to_string(i) + ".eml"), std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t k = 0; k < block.size(); ++k) {
            block[k] = (i % 2 == 0) ? static_cast<char>('a' + (k * 7 + k / 13) % 26) : static_cast<char>(random());
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    TZipArchiver archiver(nullptr);
    archiver.SetCompressionLevel(clMax);
    archiver.SetSpanningMode(smSplitting);
    archiver.SpanningOptions().AdvancedNaming = false;
    archiver.SpanningOptions().VolumeSize = vsCustom;
    archiver.SpanningOptions().SetCustomVolumeSize(2097152);
    archiver.Options().Recurse = false;
    archiver.Options().StorePath = spNoPath;
    archiver.FileName = "C:\\Kelmail.zip";
    archiver.BaseDir = "C:\\LOG_EML\\";
    archiver.FileMasks().push_back("C:\\LOG_EML\\*.*");
    const auto start = std::chrono::steady_clock::now();
    archiver.Open(0xFFFF);
    archiver.AddMatchingFiles();
    archiver.Close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    int volumes = 0;
    for (const auto& e : fs::directory_iterator(machine / "drive_c")) volumes += e.is_regular_file() ? 1 : 0;
    std::printf("packed %d MB into %d volumes in %.2f s: %.1f MB/s, peak memory %ld MB\n", megabytes, volumes, seconds,
                megabytes / seconds, usage.ru_maxrss / 1024);
    fs::remove_all(machine);
    return 0;
}
