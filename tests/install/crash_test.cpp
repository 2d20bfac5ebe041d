// Installations cut off as a crash or a power cut would cut them: the
// stand-in ends the process just before one of its calls that change a file
// or a directory, with nothing put back. Whatever installer of this kind
// runs next finds the journal and leaves either the complete old or the
// complete new installation, byte for byte, and no side file.
#include "fixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace installtest {
namespace {

class Crash : public InstallTest {
protected:
    // The installer of three entries (the one that is cut off), over an
    // earlier installation of the same saver or over none.
    author::PackageContents Arrange(bool upgrade) {
        StartClean();
        if (upgrade) PlantOldInstallation();
        author::PackageContents c = ThreeEntries();
        c.entries[1] = Compressed(Compressible(6000, 2));
        UseInstaller(c);
        return c;
    }

    // Runs the installer in a child process that dies at the crashAt-th
    // change; true when it died there, false when it ran to its end first.
    bool RunCutOffAt(int crashAt) {
        pid_t child = fork();
        if (child == 0) {
            standin::SetCrashPoint(crashAt);
            Run();
            _exit(0);
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        return WIFEXITED(status) && WEXITSTATUS(status) == standin::CRASH_STATUS;
    }

    // The next run, in this process, of the same installer or of another
    // (Rain.exe); every question gets its first button.
    void RunNext(bool same) {
        Restart();
        if (same) {
            standin::SetModulePath("D:\\DOWNLOAD\\Clouds.exe");
        } else {
            author::PackageContents rain = ThreeEntries("Rain");
            rain.entries[0] = Stored(Pattern(2000, 9));
            UseInstaller(rain, "D:\\DOWNLOAD\\Rain.exe");
        }
        EXPECT_EQ(Run(), 0);
    }

    // The snapshot without what the Rain installer adds (and the two shared
    // levels it makes).
    std::map<std::string, std::string> WithoutRain() {
        std::map<std::string, std::string> all = Snapshot();
        for (auto it = all.begin(); it != all.end();) {
            const std::string& path = it->first;
            bool rain = path.find("Rain") != std::string::npos || path.find("RAIN") != std::string::npos ||
                        path == "C/WINDOWS/TORVANEK" || path == "C/WINDOWS/TORVANEK/LUMAVERN";
            it = rain ? all.erase(it) : std::next(it);
        }
        return all;
    }
};

TEST_F(Crash, EveryStopPointLeavesTheOldOrTheNewInstallationForTheNextRun) {
    for (bool upgrade : {true, false}) {
        Arrange(upgrade);
        const auto before = WithoutRain();
        ASSERT_EQ(Run(), 0);
        const auto after = Snapshot(), afterWithoutRain = WithoutRain();
        int points = 0;
        for (bool same : {true, false}) {
            for (int crashAt = 1;; crashAt++) {
                ASSERT_LT(crashAt, 400) << "the installation never ends";
                Arrange(upgrade);
                if (!RunCutOffAt(crashAt)) break;
                points++;
                RunNext(same);
                const std::string where = (upgrade ? "upgrade" : "fresh") + std::string(" cut off at change ") +
                                          std::to_string(crashAt) + (same ? ", then the same" : ", then another");
                if (same) {
                    EXPECT_TRUE(Snapshot() == after) << where;
                } else {
                    auto now = WithoutRain();
                    EXPECT_TRUE(now == before || now == afterWithoutRain) << where;
                    EXPECT_TRUE(ReadFile("C:\\WINDOWS\\RAIN.SCR") == Text(Pattern(2000, 9))) << where;
                }
                EXPECT_TRUE(NamesContaining("~IN").empty()) << where;
                EXPECT_FALSE(Exists("C:\\WINDOWS\\LVRNINST.JNL")) << where;
            }
        }
        // Every kind of step was cut: journal, directories, writes, moves, deletions.
        EXPECT_GT(points, 2 * 30) << upgrade;
    }
}

}  // namespace
}  // namespace installtest
