// Fuzz target: the whole native installation on arbitrary packages, every
// question answered yes. Nothing may be written outside the Windows
// directory, the installer stays as it was, no temporary file is left, and a
// run that reports completion has installed the saver.
#include "install/install.h"
#include "platform/standin/control.h"

#include <filesystem>
#include <string>

#include "tests/fuzz/fuzz_host.h"
#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string root = fuzz::ScratchDirectory();
    fs::remove_all(root + "/C");
    fs::create_directories(root + "/C/WINDOWS");
    fs::create_directories(root + "/C/DOWNLOAD");
    std::vector<std::uint8_t> image = fuzz::InstallerWithPackage(data, size);
    const std::string installer = root + "/C/DOWNLOAD/Fuzz.exe";
    fuzz::WriteFile(installer, image.data(), image.size());

    standin::Reset(root);
    ResetInstaller();
    standin::SetModulePath("C:\\DOWNLOAD\\Fuzz.exe");
    standin::SetWindowsDirectory("C:\\WINDOWS");
    int status = WinMain(reinterpret_cast<HINSTANCE>(uintptr_t(0x400000)), nullptr, const_cast<LPSTR>(""), 1);
    FUZZ_CHECK(status == 0 || status == 1);

    bool completed = false;
    for (const auto& box : standin::GetLog().boxes)
        if (box.text.rfind("Installation Complete!", 0) == 0) completed = true;
    FUZZ_CHECK(!(completed && status != 0));
    if (completed) FUZZ_CHECK(fs::is_regular_file(root + "/C/WINDOWS/FUZZ.SCR"));

    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string path = entry.path().string();
        bool inWindows = path.rfind(root + "/C/WINDOWS", 0) == 0;
        bool allowed = inWindows || path == root + "/C" || path == root + "/C/DOWNLOAD" || path == installer;
        if (!allowed) fprintf(stderr, "written outside the Windows directory: %s\n", path.c_str());
        FUZZ_CHECK(allowed);
        std::string name = entry.path().filename().string();
        FUZZ_CHECK(name.rfind("~IN", 0) != 0);
    }
    std::vector<std::uint8_t> after(image.size());
    FILE* f = fopen(installer.c_str(), "rb");
    FUZZ_CHECK(f && fread(after.data(), 1, after.size(), f) == after.size() && fgetc(f) == EOF);
    fclose(f);
    FUZZ_CHECK(after == image);
    return 0;
}
