// saverpack: makes screen saver installers and inspects them.
//
//   saverpack pack --saver FILE [--data FILE] [--file FILE]... --title TEXT -o OUT ...
//   saverpack list [--json] [--codepage CP] INSTALLER
//   saverpack extract [--codepage CP] INSTALLER DIR
//   saverpack verify INSTALLER
#include "author/saverpack/codepage.h"
#include "author/saverpack/commands.h"
#include "author/saverpack/files.h"
#include "package/names.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using namespace saverpack;

namespace {

constexpr int kUsageError = 2;

// The arguments as UTF-8, whatever the platform hands over.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(n > 0 ? n - 1 : 0, '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
        args.push_back(arg);
    }
    LocalFree(wide);
    return args;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

// Decimal digits only, leading zeros allowed, at most `largest`.
CLI::Validator DecimalValidator(unsigned long largest) {
    return CLI::Validator(
        [largest](std::string& text) {
            bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
            std::size_t significant = text.find_first_not_of('0');
            if (digits && (significant == std::string::npos ||
                           (text.size() - significant <= 10 && std::stoul(text.substr(significant)) <= largest)))
                return std::string();
            return "\"" + text + "\" is not a decimal number from 0 to " + std::to_string(largest);
        },
        "");
}

std::string CodePageList() {
    std::string list;
    for (unsigned cp : SupportedCodePages()) list += (list.empty() ? "" : ", ") + std::to_string(cp);
    return list;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    if (GetConsoleOutputCP()) SetConsoleOutputCP(CP_UTF8);
#endif
    CLI::App app{"Makes screen saver installers, and lists, extracts and verifies what they carry.", "saverpack"};
    app.set_version_flag("--version", "saverpack " SAVERPACK_VERSION);
    app.require_subcommand(1);
    // A later option replaces an earlier one of the same name (repeatable --file aside).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    PackRequest request;
    std::string saver, data, stub, output, title, level = "default";
    std::vector<std::string> files;
    bool store = false, compress = false, quiet = false;
    CLI::App* pack = app.add_subcommand("pack", "Make an installer: the saver, its data file and further files, "
                                                "written into the installer executable.");
    pack->add_option("--saver", saver, "The saver program, installed as <installer name>.SCR (entry 0)")
        ->required()
        ->type_name("FILE");
    CLI::Option* dataOption =
        pack->add_option("--data", data, "The saver's data file, installed as <installer name>.DAT (entry 1)")
            ->type_name("FILE");
    pack->add_option("--file", files, "A further file, installed as FILE<number><its extension> (entries 2 and on); "
                                      "needs --data; repeat for more")
        ->type_name("FILE")
        ->allow_extra_args(false);
    pack->add_option("--title", title, "The saver's title, at most 32 bytes in the code page")
        ->required()
        ->type_name("TEXT");
    // Taken as text: CLI11 would read a leading 0 as octal.
    std::string firstNumber = "0";
    pack->add_option("--first-number", firstNumber, "The number of the first further file (0-65535, decimal)")
        ->capture_default_str()
        ->check(DecimalValidator(65535))
        ->type_name("N");
    pack->add_option("--codepage", request.codePage,
                     "The Windows ANSI code page of the title and extensions (" + CodePageList() + ")")
        ->capture_default_str()
        ->check(CLI::IsMember(SupportedCodePages()))
        ->type_name("CP");
    pack->add_option("--level", level, "How hard to compress")
        ->capture_default_str()
        ->check(CLI::IsMember({"fast", "default", "best"}));
    CLI::Option* storeFlag = pack->add_flag("--store", store, "Store every entry raw");
    CLI::Option* compressFlag =
        pack->add_flag("--compress", compress, "Compress every entry, even when that does not make it smaller");
    storeFlag->excludes(compressFlag);
    std::string icon, fileVersion = "1.0.0.0", publisher;
    CLI::Option* iconOption =
        pack->add_option("--icon", icon, "The installer's icon (an .ico file; several sizes and depths, up to "
                                         "256x256 PNG), instead of the stub's")
            ->type_name("FILE.ico");
    pack->add_option("--file-version", fileVersion, "FileVersion and ProductVersion in the installer's version "
                                                    "information")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& text) {
                try {
                    author::ParseFileVersion(text);
                    return std::string();
                } catch (const std::invalid_argument& e) {
                    return "version \"" + text + "\" " + e.what();
                }
            },
            ""))
        ->type_name("X.Y.Z.W");
    pack->add_option("--publisher", publisher, "CompanyName in the installer's version information (left out "
                                               "when not given)")
        ->type_name("TEXT");
    CLI::Option* stubOption =
        pack->add_option("--stub", stub, "The installer executable to write into (default: the installer.exe "
                                           "beside the tool, or in ../share/saverpack from its directory)")
            ->type_name("EXE");
    pack->add_flag("-q,--quiet", quiet, "Print nothing but errors");
    pack->add_option("-o,--output", output, "The installer to write")->required()->type_name("OUT");
    pack->footer("Each entry is compressed and stored raw when that is not smaller. The installer is written "
                 "to a temporary file beside OUT and renamed to OUT when complete; a refusal or an interruption "
                 "leaves nothing. Sign the installer after packing, never the installer executable before.");

    std::string installer, directory;
    bool json = false;
    unsigned listCodePage = 1252;
    CLI::App* list = app.add_subcommand("list", "Show an installer's title, entries, installed names and sizes.");
    list->add_flag("--json", json, "Print JSON");
    list->add_option("--codepage", listCodePage, "The code page to show the title and extensions in")
        ->capture_default_str()
        ->check(CLI::IsMember(SupportedCodePages()))
        ->type_name("CP");
    list->add_option("INSTALLER", installer, "The installer")->required();

    CLI::App* extract = app.add_subcommand(
        "extract", "Expand every entry into DIR, which stands for the Windows directory: DIR/<NAME>.SCR and "
                   "DIR/" DATA_DIR_TOP "/" DATA_DIR_MIDDLE "/<installer name>/...");
    extract->add_option("--codepage", listCodePage, "The code page of the extensions, for the file names")
        ->capture_default_str()
        ->check(CLI::IsMember(SupportedCodePages()))
        ->type_name("CP");
    extract->add_option("INSTALLER", installer, "The installer")->required();
    extract->add_option("DIR", directory, "Where to put the files")->required();

    CLI::App* verify = app.add_subcommand(
        "verify", "Read the installer as it reads itself and decode every entry; exit status 0 only when sound.");
    verify->add_option("INSTALLER", installer, "The installer")->required();

    std::vector<std::string> args = Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& arg : args) pointers.push_back(arg.c_str());
    try {
        app.parse(int(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kUsageError;
    }

    try {
        if (pack->parsed()) {
            request.saver = PathFromUtf8(saver);
            if (dataOption->count()) request.data = PathFromUtf8(data);
            for (const std::string& file : files) request.files.push_back(PathFromUtf8(file));
            request.title = title;
            request.firstFileNumber = unsigned(std::stoul(firstNumber));
            if (iconOption->count()) request.icon = PathFromUtf8(icon);
            request.fileVersion = author::ParseFileVersion(fileVersion);
            request.publisher = publisher;
            static const std::map<std::string, codec::Level> levels = {
                {"fast", codec::Level::Fast}, {"default", codec::Level::Default}, {"best", codec::Level::Best}};
            request.level = levels.at(level);
            request.storage = store ? Storage::Stored : compress ? Storage::Compressed : Storage::Smaller;
            try {
                request.stub = FindStub(!stubOption->count() ? std::nullopt : std::optional(PathFromUtf8(stub)));
            } catch (const Refusal& e) {
                std::cerr << "saverpack: " << e.what() << "\n";
                return 1;
            }
            return PackCommand(request, PathFromUtf8(output), quiet, std::cout, std::cerr);
        }
        if (list->parsed()) return ListCommand(PathFromUtf8(installer), json, listCodePage, std::cout, std::cerr);
        if (extract->parsed())
            return ExtractCommand(PathFromUtf8(installer), PathFromUtf8(directory), listCodePage, std::cout,
                                  std::cerr);
        return VerifyCommand(PathFromUtf8(installer), std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "saverpack: " << e.what() << "\n";
        return 1;
    }
}
