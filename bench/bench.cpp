// Codec benchmark: compressed sizes at every level against the classic
// greedy parse and against the frozen reference, encoding speed, and
// decoding speed (of the best level's streams) from memory and through
// ExpandEntry into a file. Speeds are output bytes per second.
//
//   saver_bench [--quick] [--fileset LIST] [--pin] [--save-generated DIR] [FILE...]
//
// Without files it takes the pinned set, bench/fileset.txt: each file by
// kind, SHA-256, size and the size the best level gave when the set was
// pinned (the frozen reference), then its path or the generator that makes
// it. A file that is missing or whose bytes differ is named and left out of
// every comparison. --pin prints the list again with the hashes, sizes and
// best-level sizes measured now (to pin a new set, not to move the old
// reference). Files named on the command line are measured without a
// reference. Every stream is decoded and compared with its input before it
// counts. Decoding speeds are those of the fastest of repeated runs (at
// least five, and at least 0.3 s of them per file, 0.05 s with --quick).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "compress/compress.h"
#include "compress/expansion.h"
#include "bench/greedy.h"
#include "expand/expand.h"
#include "platform/standin/control.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

struct Sample {
    std::string name;  // the path, or the generator and its parameters
    std::string kind;  // exe, text, bitmap, sound, data; "other" for files named on the command line
    Bytes data;
    size_t reference = 0;  // the best level's size when the set was pinned; 0: none
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

std::string Sha256(const Bytes& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr)) {
        throw std::runtime_error("SHA-256 failed");
    }
    std::string hex;
    for (unsigned i = 0; i < length; i++) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

// "generate bitmap W H", "generate wave SECONDS RATE", "generate random BYTES".
bool Generate(const std::string& source, Bytes& out) {
    std::istringstream words(source);
    std::string verb, what;
    long a = 0, b = 0;
    if (!(words >> verb >> what) || verb != "generate") return false;
    if (what == "bitmap" && words >> a >> b && a > 0 && b > 0 && a * b <= (1 << 24)) {
        out = MakeBitmap(static_cast<int>(a), static_cast<int>(b));
    } else if (what == "wave" && words >> a >> b && a > 0 && b > 0 && a * b <= (1 << 24)) {
        out = MakeWave(static_cast<int>(a), static_cast<int>(b));
    } else if (what == "random" && words >> a && a > 0 && a <= (1 << 28)) {
        out = MakeRandom(static_cast<size_t>(a));
    } else {
        throw std::runtime_error("unknown generator: " + source);
    }
    return true;
}

struct Pinned {
    std::string kind, sha256, source;
    size_t bytes = 0, reference = 0;
};

// One line of the list: kind, SHA-256, bytes, reference, source ("-" for
// a value not yet measured). Blank lines and lines from '#' are skipped.
std::vector<Pinned> ReadFileSet(const fs::path& list, std::vector<std::string>& comments) {
    std::ifstream in(list);
    if (!in) throw std::runtime_error("cannot read " + list.string());
    std::vector<Pinned> set;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            comments.push_back(line);
            continue;
        }
        std::istringstream words(line);
        Pinned p;
        std::string bytes, reference;
        if (!(words >> p.kind >> p.sha256 >> bytes >> reference)) throw std::runtime_error("bad line: " + line);
        std::getline(words >> std::ws, p.source);
        if (p.source.empty()) throw std::runtime_error("bad line: " + line);
        p.bytes = bytes == "-" ? 0 : std::stoul(bytes);
        p.reference = reference == "-" ? 0 : std::stoul(reference);
        set.push_back(p);
    }
    return set;
}

// The bytes of a pinned file; false, after saying why, when it is missing
// or not the pinned bytes.
bool Load(const Pinned& p, bool checkHash, Bytes& data) {
    if (!Generate(p.source, data)) {
        std::error_code ec;
        if (!fs::is_regular_file(p.source, ec)) {
            std::printf("missing: %s (left out)\n", p.source.c_str());
            return false;
        }
        data = ReadFile(p.source);
    }
    if (checkHash && Sha256(data) != p.sha256) {
        std::printf("differs: %s has SHA-256 %s, pinned %s (left out)\n", p.source.c_str(), Sha256(data).c_str(),
                    p.sha256.c_str());
        return false;
    }
    return true;
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

// Level l of kLevelNames: the greedy baseline, then the codec's levels.
Bytes CompressAt(int l, const Bytes& data) {
    constexpr codec::Level kLevels[] = {codec::Level::Fast, codec::Level::Default, codec::Level::Best};
    return l == 0 ? bench::CompressGreedy(data) : codec::Compress(data, kLevels[l - 1]);
}
constexpr const char* kLevelNames[] = {"greedy", "fast", "default", "best"};

const char* kKinds[] = {"exe", "text", "bitmap", "sound", "data", "other"};

struct Tally {
    size_t files = 0, bytes = 0, reference = 0, size[4] = {};
    double encodeSeconds[4] = {};
};

void PrintTally(const char* kind, const Tally& t) {
    for (int l = 0; l < 4; l++) {
        char vsReference[16] = "-";
        if (t.reference) std::snprintf(vsReference, sizeof vsReference, "%+.2f%%", Change(t.size[l], t.reference));
        std::printf("%-7s %-8s %5zu %10zu %10zu %+9.2f%% %12s %8.2f\n", kind, kLevelNames[l], t.files, t.bytes,
                    t.size[l], Change(t.size[l], t.size[0]), vsReference, MBps(t.bytes, t.encodeSeconds[l]));
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false, pin = false;
    fs::path list = fs::path(SAVER_SOURCE_DIR) / "bench" / "fileset.txt";
    std::vector<Sample> samples;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--pin") {
            pin = true;
        } else if (arg == "--fileset" && i + 1 < argc) {
            list = argv[++i];
        } else if (arg == "--save-generated" && i + 1 < argc) {
            // Writes the generated samples for other tools and stops.
            fs::path to = argv[++i];
            fs::create_directories(to);
            for (auto& [name, data] : std::vector<std::pair<std::string, Bytes>>{{"picture.bmp", MakeBitmap(640, 480)},
                                                                                 {"notes.wav", MakeWave(6, 22050)},
                                                                                 {"random.bin", MakeRandom(1 << 20)}}) {
                std::ofstream(to / name, std::ios::binary)
                    .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
            }
            return 0;
        } else {
            samples.push_back({arg, "other", ReadFile(arg)});
        }
    }

    if (pin) {
        // The list again, measured now: hashes, sizes and the best level's sizes.
        std::vector<std::string> comments;
        std::vector<Pinned> set = ReadFileSet(list, comments);
        for (const std::string& c : comments) std::printf("%s\n", c.c_str());
        for (Pinned& p : set) {
            Bytes data;
            if (!Load(p, false, data)) return 1;
            std::printf("%-6s %s %9zu %9zu %s\n", p.kind.c_str(), Sha256(data).c_str(), data.size(),
                        codec::Compress(data, codec::Level::Best).size(), p.source.c_str());
        }
        return 0;
    }

    size_t leftOut = 0;
    if (samples.empty()) {
        std::vector<std::string> comments;
        for (const Pinned& p : ReadFileSet(list, comments)) {
            Bytes data;
            if (!Load(p, true, data)) {
                leftOut++;
                continue;
            }
            samples.push_back({p.source, p.kind, std::move(data), p.reference});
        }
    }
    const double minSeconds = quick ? 0.05 : 0.3;
    const fs::path dir = fs::temp_directory_path() / ("saver-bench-" + std::to_string(::getpid()));

    std::map<std::string, Tally> byKind;
    Tally all;
    size_t larger = 0;
    double decodeMemTime = 0, decodeFileTime = 0;

    std::printf("%-44s %-6s %9s | %9s %9s %9s %9s | %7s %7s | %6s %6s %6s %6s | %7s %7s\n", "file", "kind", "bytes",
                "greedy", "fast", "default", "best", "best/g", "best/ref", "enc-g", "enc-f", "enc-d", "enc-b",
                "dec-mem", "dec-file");
    std::printf("%-44s %-6s %9s | %39s | %15s | %27s | %15s\n", "", "", "", "compressed bytes", "best against",
                "encode MB/s", "decode MB/s");
    for (const Sample& s : samples) {
        size_t sizes[4];
        double encodeSeconds[4];
        Bytes best;
        for (int l = 0; l < 4; l++) {
            auto start = Clock::now();
            Bytes stream = CompressAt(l, s.data);
            encodeSeconds[l] = Seconds(Clock::now() - start);
            Bytes check(s.data.size());
            uint64_t bits = codec::ExpandMemory(stream.data(), static_cast<uint32_t>(stream.size()), check.data(),
                                                static_cast<uint32_t>(check.size()));
            if (check != s.data || bits > 8 * stream.size()) {
                std::fprintf(stderr, "%s: %s stream does not decode to the input\n", s.name.c_str(), kLevelNames[l]);
                return 1;
            }
            sizes[l] = stream.size();
            if (l == 3) best = std::move(stream);
        }
        double memSpeed = DecodeMemorySpeed(best, s.data, minSeconds);
        double fileSpeed = DecodeEntrySpeed(best, s.data, dir, minSeconds);
        decodeMemTime += s.data.size() / (memSpeed * 1e6);
        decodeFileTime += s.data.size() / (fileSpeed * 1e6);
        for (Tally* t : {&byKind[s.kind], &all}) {
            t->files++;
            t->bytes += s.data.size();
            t->reference += s.reference;
            for (int l = 0; l < 4; l++) {
                t->size[l] += sizes[l];
                t->encodeSeconds[l] += encodeSeconds[l];
            }
        }
        char vsReference[16] = "-";
        if (s.reference) std::snprintf(vsReference, sizeof vsReference, "%+.2f%%", Change(sizes[3], s.reference));
        if (s.reference && sizes[3] > s.reference) larger++;

        std::string name = s.name.size() > 44 ? "..." + s.name.substr(s.name.size() - 41) : s.name;
        std::printf("%-44s %-6s %9zu | %9zu %9zu %9zu %9zu | %+6.2f%% %8s | %6.1f %6.1f %6.1f %6.1f | %7.1f %7.1f\n",
                    name.c_str(), s.kind.c_str(), s.data.size(), sizes[0], sizes[1], sizes[2], sizes[3],
                    Change(sizes[3], sizes[0]), vsReference, MBps(s.data.size(), encodeSeconds[0]),
                    MBps(s.data.size(), encodeSeconds[1]), MBps(s.data.size(), encodeSeconds[2]),
                    MBps(s.data.size(), encodeSeconds[3]), memSpeed, fileSpeed);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    if (samples.empty()) {
        std::printf("no files to measure\n");
        return 1;
    }

    // Each level and kind against the greedy parse and against the frozen
    // reference (the best level's sizes when the set was pinned).
    std::printf("\n%-7s %-8s %5s %10s %10s %10s %12s %8s\n", "kind", "level", "files", "bytes", "compressed",
                "vs greedy", "vs reference", "enc MB/s");
    for (const char* kind : kKinds) {
        if (byKind.count(kind)) PrintTally(kind, byKind[kind]);
    }
    PrintTally("all", all);
    std::printf("\nbest level: %zu of %zu files larger than their reference; %zu left out (missing or changed)\n",
                larger, all.files, leftOut);
    std::printf("decode MB/s (best level's streams): memory %.1f, file %.1f\n", MBps(all.bytes, decodeMemTime),
                MBps(all.bytes, decodeFileTime));
    return 0;
}
