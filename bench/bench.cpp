// Codec benchmark: compressed sizes at every level against the classic
// greedy parse, encoding speed, and decoding speed (of the best level's
// streams) from memory and through ExpandEntry into a file, over a mixed
// set of files. Speeds are output bytes per second.
//
//   saver_bench [--quick] [--save-generated DIR] [FILE...]
//
// Without files it takes what the machine has: the project's own PE
// executables (build/win32), 32-bit Windows DLLs of the system, large text
// documentation, and a bitmap, a sound and random bytes it generates.
// Every stream is decoded and compared with its input before it counts.
// Decoding speeds are those of the fastest of repeated runs (at least five,
// and at least 0.3 s of them per file, 0.05 s with --quick).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "compress/compress.h"
#include "expand/expand.h"
#include "platform/standin/control.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

struct Sample {
    std::string name;
    Bytes data;
};

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// A 24-bit picture: sky gradient, hills, a sun, some texture.
Bytes MakeBitmap(int width, int height) {
    const uint32_t rowBytes = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
    const uint32_t pixels = rowBytes * static_cast<uint32_t>(height);
    Bytes b{'B', 'M'};
    Put32(b, 54 + pixels);
    Put32(b, 0);
    Put32(b, 54);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(width));
    Put32(b, static_cast<uint32_t>(height));
    Put16(b, 1);
    Put16(b, 24);
    Put32(b, 0);
    Put32(b, pixels);
    Put32(b, 2835);
    Put32(b, 2835);
    Put32(b, 0);
    Put32(b, 0);
    std::mt19937 rng(5);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double fy = static_cast<double>(y) / height, fx = static_cast<double>(x) / width;
            double hill = 0.35 + 0.08 * std::sin(fx * 9.0) + 0.04 * std::sin(fx * 23.0 + 1.0);
            int r, g, bl;
            if (fy < hill) {  // ground, bottom-up rows
                int grain = static_cast<int>(rng() % 12);
                r = 40 + grain + static_cast<int>(60 * fy);
                g = 110 + grain + static_cast<int>(80 * fy);
                bl = 30 + grain;
            } else {
                double dx = fx - 0.75, dy = fy - 0.8;
                bool sun = dx * dx + dy * dy < 0.004;
                r = sun ? 255 : static_cast<int>(90 + 100 * fy);
                g = sun ? 230 : static_cast<int>(140 + 80 * fy);
                bl = sun ? 120 : 235;
            }
            b.push_back(static_cast<uint8_t>(bl));
            b.push_back(static_cast<uint8_t>(g));
            b.push_back(static_cast<uint8_t>(r));
        }
        for (uint32_t pad = static_cast<uint32_t>(width) * 3; pad < rowBytes; pad++) b.push_back(0);
    }
    return b;
}

// 16-bit mono PCM: a few notes with decaying harmonics and a little noise.
Bytes MakeWave(int seconds, int rate) {
    const uint32_t samples = static_cast<uint32_t>(seconds * rate);
    Bytes b{'R', 'I', 'F', 'F'};
    Put32(b, 36 + samples * 2);
    for (char c : std::string("WAVEfmt ")) b.push_back(static_cast<uint8_t>(c));
    Put32(b, 16);
    Put16(b, 1);
    Put16(b, 1);
    Put32(b, static_cast<uint32_t>(rate));
    Put32(b, static_cast<uint32_t>(rate) * 2);
    Put16(b, 2);
    Put16(b, 16);
    for (char c : std::string("data")) b.push_back(static_cast<uint8_t>(c));
    Put32(b, samples * 2);
    const double notes[] = {261.6, 329.6, 392.0, 523.3, 392.0, 329.6};
    std::mt19937 rng(6);
    std::normal_distribution<double> noise(0.0, 120.0);
    for (uint32_t i = 0; i < samples; i++) {
        double t = static_cast<double>(i) / rate;
        int note = static_cast<int>(t * 2) % 6;
        double local = t - std::floor(t * 2) / 2;
        double env = std::exp(-local * 4.0);
        double f = notes[note];
        double v = env * (7000 * std::sin(2 * M_PI * f * t) + 2500 * std::sin(4 * M_PI * f * t) +
                          900 * std::sin(6 * M_PI * f * t)) +
                   noise(rng);
        Put16(b, static_cast<uint16_t>(static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)))));
    }
    return b;
}

Bytes MakeRandom(size_t n) {
    std::mt19937_64 rng(7);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng() >> 56);
    return b;
}

std::vector<Sample> DefaultSamples() {
    std::vector<Sample> samples;
    auto add = [&](const fs::path& p) {
        std::error_code ec;
        if (fs::is_regular_file(p, ec) && fs::file_size(p, ec) > 0) samples.push_back({p.string(), ReadFile(p)});
    };
    // The project's own executables, when the win32 build has made them.
    const fs::path own = fs::path(SAVER_SOURCE_DIR) / "build" / "win32";
    std::error_code ec;
    if (fs::is_directory(own, ec)) {
        std::vector<fs::path> exes;
        for (auto& e : fs::recursive_directory_iterator(own, ec)) {
            if (e.is_regular_file() && e.path().extension() == ".exe" && e.path().string().find("CMakeFiles") == std::string::npos) {
                exes.push_back(e.path());
            }
        }
        std::sort(exes.begin(), exes.end());
        for (auto& p : exes) add(p);
    }
    // 32-bit Windows executables that come with the system.
    for (const char* p : {"/usr/lib/i386-linux-gnu/wine/i386-windows/shell32.dll",
                          "/usr/lib/i386-linux-gnu/wine/i386-windows/user32.dll",
                          "/usr/lib/i386-linux-gnu/wine/i386-windows/comctl32.dll",
                          "/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe",
                          "/usr/lib/i386-linux-gnu/wine/i386-windows/regedit.exe",
                          "/usr/lib/gcc/i686-w64-mingw32/12-win32/libstdc++-6.dll"}) {
        add(p);
    }
    // Text.
    add("/usr/share/vim/vim90/doc/options.txt");
    add("/usr/share/vim/vim90/doc/version7.txt");
    // Generated.
    samples.push_back({"(generated) picture.bmp", MakeBitmap(640, 480)});
    samples.push_back({"(generated) notes.wav", MakeWave(6, 22050)});
    samples.push_back({"(generated) random.bin", MakeRandom(1 << 20)});
    return samples;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
constexpr int kMinRuns = 5;

double MBps(size_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
double Change(size_t size, size_t base) { return 100.0 * (static_cast<double>(size) / static_cast<double>(base) - 1); }

// Decodes from memory repeatedly for at least minSeconds; output MB/s of
// the fastest run (the machine may be shared).
// Seconds of the fastest of the runs made in at least minSeconds (and at
// least kMinRuns runs).
template <typename Run>
double FastestRun(Run run, double minSeconds) {
    double fastest = 1e30, elapsed = 0;
    int runs = 0;
    auto start = Clock::now();
    do {
        auto begin = Clock::now();
        runs++;
        run();
        fastest = std::min(fastest, Seconds(Clock::now() - begin));
        elapsed = Seconds(Clock::now() - start);
    } while (elapsed < minSeconds || runs < kMinRuns);
    return fastest;
}

double DecodeMemorySpeed(const Bytes& stream, const Bytes& original, double minSeconds) {
    Bytes out(original.size());
    double fastest = FastestRun(
        [&] {
            codec::ExpandMemory(stream.data(), static_cast<uint32_t>(stream.size()), out.data(),
                                static_cast<uint32_t>(out.size()));
        },
        minSeconds);
    if (out != original) throw std::runtime_error("memory decode differs from the input");
    return MBps(original.size(), fastest);
}

// Expands through ExpandEntry: an installer file holding the stream after a
// header, the target in the stand-in's Windows directory.
double DecodeEntrySpeed(const Bytes& stream, const Bytes& original, const fs::path& dir, double minSeconds) {
    standin::Reset(dir.string());
    standin::SetModulePath("C:\\DOWNLOAD\\Clouds.exe");
    fs::create_directories(dir / "C" / "DOWNLOAD");
    fs::create_directories(dir / "C" / "WINDOWS");
    const DWORD offset = 4096;
    {
        std::ofstream f(dir / "C" / "DOWNLOAD" / "Clouds.exe", std::ios::binary);
        Bytes header(offset, 0);
        f.write(reinterpret_cast<const char*>(header.data()), offset);
        f.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    }
    double fastest = FastestRun(
        [&] {
            int result = ExpandEntry(GetModuleHandleA(nullptr), offset, static_cast<DWORD>(original.size()),
                                     static_cast<DWORD>(stream.size()), "C:\\WINDOWS\\TARGET.BIN");
            if (result != EXPAND_DONE) throw std::runtime_error("ExpandEntry failed");
        },
        minSeconds);
    if (ReadFile(dir / "C" / "WINDOWS" / "TARGET.BIN") != original) throw std::runtime_error("file decode differs");
    return MBps(original.size(), fastest);
}

constexpr codec::Level kLevels[] = {codec::Level::Greedy, codec::Level::Fast, codec::Level::Default, codec::Level::Best};
constexpr const char* kLevelNames[] = {"greedy", "fast", "default", "best"};

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::vector<Sample> samples;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--save-generated" && i + 1 < argc) {
            // Writes the generated samples for other tools and stops.
            fs::path to = argv[++i];
            fs::create_directories(to);
            for (auto& [name, data] : std::vector<Sample>{{"picture.bmp", MakeBitmap(640, 480)},
                                                          {"notes.wav", MakeWave(6, 22050)},
                                                          {"random.bin", MakeRandom(1 << 20)}}) {
                std::ofstream(to / name, std::ios::binary)
                    .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
            }
            return 0;
        } else {
            samples.push_back({arg, ReadFile(arg)});
        }
    }
    if (samples.empty()) samples = DefaultSamples();
    const double minSeconds = quick ? 0.05 : 0.3;
    const fs::path dir = fs::temp_directory_path() / ("saver-bench-" + std::to_string(::getpid()));

    size_t totalIn = 0, totalSize[4] = {}, decodeBytes = 0;
    double totalEncode[4] = {}, decodeMemTime = 0, decodeFileTime = 0;

    std::printf("%-44s %9s | %9s %9s %9s %9s | %7s %7s %7s | %6s %6s %6s %6s | %7s %7s\n", "file", "bytes",
                "greedy", "fast", "default", "best", "fast", "default", "best", "enc-g", "enc-f", "enc-d", "enc-b",
                "dec-mem", "dec-file");
    std::printf("%-44s %9s | %39s | %23s | %27s | %15s\n", "", "", "compressed bytes", "vs greedy",
                "encode MB/s", "decode MB/s");
    for (const Sample& s : samples) {
        size_t sizes[4];
        double encodeSeconds[4];
        Bytes best;
        for (int l = 0; l < 4; l++) {
            auto start = Clock::now();
            Bytes stream = codec::Compress(s.data, kLevels[l]);
            encodeSeconds[l] = Seconds(Clock::now() - start);
            Bytes check(s.data.size());
            uint64_t bits = codec::ExpandMemory(stream.data(), static_cast<uint32_t>(stream.size()), check.data(),
                                                static_cast<uint32_t>(check.size()));
            if (check != s.data || bits > 8 * stream.size()) {
                std::fprintf(stderr, "%s: %s stream does not decode to the input\n", s.name.c_str(), kLevelNames[l]);
                return 1;
            }
            sizes[l] = stream.size();
            totalSize[l] += stream.size();
            totalEncode[l] += encodeSeconds[l];
            if (l == 3) best = std::move(stream);
        }
        double memSpeed = DecodeMemorySpeed(best, s.data, minSeconds);
        double fileSpeed = DecodeEntrySpeed(best, s.data, dir, minSeconds);
        totalIn += s.data.size();
        decodeBytes += s.data.size();
        decodeMemTime += s.data.size() / (memSpeed * 1e6);
        decodeFileTime += s.data.size() / (fileSpeed * 1e6);

        std::string name = s.name.size() > 44 ? "..." + s.name.substr(s.name.size() - 41) : s.name;
        std::printf("%-44s %9zu | %9zu %9zu %9zu %9zu | %+6.2f%% %+6.2f%% %+6.2f%% | %6.1f %6.1f %6.1f %6.1f | %7.1f %7.1f\n",
                    name.c_str(), s.data.size(), sizes[0], sizes[1], sizes[2], sizes[3], Change(sizes[1], sizes[0]),
                    Change(sizes[2], sizes[0]), Change(sizes[3], sizes[0]),
                    MBps(s.data.size(), encodeSeconds[0]), MBps(s.data.size(), encodeSeconds[1]),
                    MBps(s.data.size(), encodeSeconds[2]), MBps(s.data.size(), encodeSeconds[3]), memSpeed, fileSpeed);
        std::fflush(stdout);
    }
    std::printf("%-44s %9zu | %9zu %9zu %9zu %9zu | %+6.2f%% %+6.2f%% %+6.2f%% | %6.1f %6.1f %6.1f %6.1f | %7.1f %7.1f\n",
                "TOTAL", totalIn, totalSize[0], totalSize[1], totalSize[2], totalSize[3], Change(totalSize[1], totalSize[0]),
                Change(totalSize[2], totalSize[0]), Change(totalSize[3], totalSize[0]), MBps(totalIn, totalEncode[0]),
                MBps(totalIn, totalEncode[1]), MBps(totalIn, totalEncode[2]), MBps(totalIn, totalEncode[3]),
                MBps(decodeBytes, decodeMemTime), MBps(decodeBytes, decodeFileTime));
    std::printf("ratio (compressed/original): greedy %.4f  fast %.4f  default %.4f  best %.4f\n",
                static_cast<double>(totalSize[0]) / totalIn, static_cast<double>(totalSize[1]) / totalIn,
                static_cast<double>(totalSize[2]) / totalIn, static_cast<double>(totalSize[3]) / totalIn);
    fs::remove_all(dir);
    return 0;
}
