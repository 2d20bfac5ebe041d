// Fuzz target: package access and the table walk on arbitrary installer
// bytes, through the native stand-in.
#include "package/package.h"
#include "platform/standin/control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::string root = fuzz::ScratchDirectory();
    standin::Reset(root);
    static bool drive = fuzz::MakeDirectory(root + "/C");
    FUZZ_CHECK(drive);
    fuzz::WriteFile(standin::HostPath("C:\\installer.exe"), data, size);
    standin::SetModulePath("C:\\installer.exe");

    char title[TITLE_SIZE + 1] = {0};
    ReadTitle(title);
    FUZZ_CHECK(title[TITLE_SIZE] == 0);

    HFILE package = OpenPackage();
    unsigned long long sum = 0;
    bool terminated = false, inside = true, small = true;
    unsigned entries = 0;
    if (package != HFILE_ERROR) {
        unsigned short first;
        if (ReadFirstFileNumber(package, &first)) {
            // The records as raw bytes, summed here on their own: every
            // record read whole counts, the terminator's too.
            unsigned char raw[16];
            while (_lread(package, raw, 16) == 16) {
                auto field = [&](int at) {
                    return std::uint32_t(raw[at]) | std::uint32_t(raw[at + 1]) << 8 |
                           std::uint32_t(raw[at + 2]) << 16 | std::uint32_t(raw[at + 3]) << 24;
                };
                std::uint32_t dataOffset = field(0), storedSize = field(4), expandedSize = field(8);
                sum += expandedSize ? expandedSize : storedSize;
                if (storedSize == 0) {
                    terminated = true;
                    break;
                }
                entries++;
                if (dataOffset >= 0x80000000u || storedSize >= 0x80000000u || expandedSize >= 0x80000000u)
                    small = false;
                else if ((unsigned long long)dataOffset + storedSize > size)
                    inside = false;
            }
        }
        _lclose(package);
    }

    unsigned long long installSize = 0;
    int state = InspectPackage(&installSize, nullptr);
    FUZZ_CHECK((package == HFILE_ERROR) == (state == PACKAGE_MISSING));
    if (state == PACKAGE_SOUND) {
        FUZZ_CHECK(terminated && inside && small && entries > 0);
        FUZZ_CHECK(installSize == sum);
    }
    if (package != HFILE_ERROR && terminated && inside && small)
        FUZZ_CHECK(state == (entries ? PACKAGE_SOUND : PACKAGE_NO_ENTRIES));
    FUZZ_CHECK(standin::GetCounters().openHandles == 0);
    return 0;
}
