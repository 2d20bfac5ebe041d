// Writes seed corpora for the fuzz targets: small real installers built on a
// host executable of the win32 build.
//   fuzz_seeds HOST.exe OUTDIR
#include "author/package_writer.h"
#include "author/pe_layout.h"
#include "compress/compress.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

static author::PackageEntry Entry(std::size_t size, std::uint8_t seed, std::uint32_t expanded, const char* ext) {
    author::PackageEntry e;
    for (std::size_t i = 0; i < size; i++) e.data.push_back(std::uint8_t(seed + i * 7));
    e.expandedSize = expanded;
    for (int i = 0; i < 4 && ext[i]; i++) e.extension[i] = ext[i];
    return e;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: fuzz_seeds HOST.exe OUTDIR\n");
        return 2;
    }
    auto host = author::ReadFileBytes(argv[1]);
    fs::path out = fs::path(argv[2]) / "package";
    fs::create_directories(out);

    author::PackageContents empty;
    empty.title = "Empty";
    author::PackageContents three;
    three.title = "Three entries";
    three.firstFileNumber = 15;
    three.entries = {Entry(64, 1, 0, ".TMP"), Entry(40, 2, 100, ".TMP"), Entry(20, 3, 0, ".MID")};
    author::PackageContents full;
    full.title = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    full.firstFileNumber = 65535;
    full.entries = {Entry(10, 4, 0, ".SCR"), Entry(10, 5, 0, ".DAT"), Entry(3, 6, 0, ".A"), Entry(3, 7, 0, "")};

    // Installation and tool seeds: the package bytes alone (the targets write
    // them into the real installer), the tool's with a leading 1.
    fs::create_directories(fs::path(argv[2]) / "install");
    fs::create_directories(fs::path(argv[2]) / "tool");
    std::uint32_t start = author::CheckHost(host).packageStart;
    int n = 0;
    for (const auto* c : {&empty, &three, &full}) {
        auto image = author::WritePackage(host, *c);
        std::vector<std::uint8_t> package(image.begin() + start, image.end());
        author::WriteFileBytes((fs::path(argv[2]) / "install" / ("seed" + std::to_string(n))).string(), package);
        package.insert(package.begin(), 1);
        author::WriteFileBytes((fs::path(argv[2]) / "tool" / ("seed" + std::to_string(n))).string(), package);
        author::WriteFileBytes((out / ("seed" + std::to_string(n++) + ".exe")).string(), image);
        image.resize(image.size() - 5);
        author::WriteFileBytes((out / ("seed" + std::to_string(n++) + "-cut.exe")).string(), image);
    }
    printf("%d package seeds in %s\n", n, out.c_str());

    // Decoder seeds: a 4-byte expanded size, then a compressed stream.
    fs::path streams = fs::path(argv[2]) / "decoder";
    fs::create_directories(streams);
    std::string text = "The quick brown fox jumps over the lazy dog. ";
    std::vector<std::vector<std::uint8_t>> inputs = {
        std::vector<std::uint8_t>(host.begin(), host.begin() + std::min<std::size_t>(host.size(), 6000)),
        std::vector<std::uint8_t>(40, ' '),
        std::vector<std::uint8_t>(3, 'x'),
    };
    std::vector<std::uint8_t> prose;
    for (int i = 0; i < 200; i++) prose.insert(prose.end(), text.begin(), text.begin() + 10 + i % 30);
    inputs.push_back(prose);
    // Long enough for the tree's first rebuild (more than 32,484 symbols,
    // mostly literals here) and for reads and writes past 16384 bytes.
    std::vector<std::uint8_t> long_input;
    std::uint32_t state = 12345;
    while (long_input.size() < 40000) {
        state = state * 1103515245u + 12345u;
        long_input.push_back(std::uint8_t('0' + (state >> 26)));
    }
    while (long_input.size() < 60000) long_input.insert(long_input.end(), prose.begin(), prose.begin() + 997);
    inputs.push_back(long_input);
    int m = 0;
    for (const auto& input : inputs) {
        for (auto level : {codec::Level::Fast, codec::Level::Best}) {
            auto stream = codec::Compress(input, level);
            std::vector<std::uint8_t> seed(4);
            for (int i = 0; i < 4; i++) seed[i] = std::uint8_t(input.size() >> (8 * i));
            seed.insert(seed.end(), stream.begin(), stream.end());
            author::WriteFileBytes((streams / ("stream" + std::to_string(m++))).string(), seed);
        }
    }
    printf("%d decoder seeds in %s\n", m, streams.c_str());

    // Compressor seeds: a byte choosing the level (low 2 bits) and the
    // previous stream, then the same inputs to compress, up to the 8,192
    // bytes the target takes.
    fs::path plain = fs::path(argv[2]) / "compress";
    fs::create_directories(plain);
    int c = 0;
    for (const auto& input : inputs) {
        for (unsigned level = 0; level < 4; level++) {
            std::vector<std::uint8_t> seed = {std::uint8_t(level | (c * 37 % 64) << 2)};
            seed.insert(seed.end(), input.begin(), input.begin() + std::min<std::size_t>(input.size(), 8192));
            author::WriteFileBytes((plain / ("input" + std::to_string(c++))).string(), seed);
        }
    }
    printf("%d compressor seeds in %s\n", c, plain.c_str());

    // Contract seeds: the package seeds' images, and names after a 2-byte
    // first file number, a 4-byte extension and an index byte pair.
    fs::path contract = fs::path(argv[2]) / "contract";
    fs::create_directories(contract);
    for (const auto& image : fs::directory_iterator(out)) fs::copy_file(image.path(), contract / image.path().filename());
    int k = 0;
    for (std::string name : {"Clouds.exe", "my.clouds.exe", "a.b.c.exe", "...exe", ".clouds.exe", "nul.txt.exe",
                             "Com9.exe", "LPT1", "trail .exe", "dot..exe", "na\\me.exe"}) {
        std::string seed = std::string("\x0F\x00.MID", 6) + char(k % 4) + char(k) + name;
        author::WriteFileBytes((contract / ("name" + std::to_string(k++))).string(),
                               std::vector<std::uint8_t>(seed.begin(), seed.end()));
    }
    printf("%d contract seeds in %s\n", k, contract.c_str());
    return 0;
}
