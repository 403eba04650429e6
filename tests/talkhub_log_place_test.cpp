// Where an installed library writes its log: a host run by an ordinary user cannot write
// the library's folder, and its log must still be written, in that user's own folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "command_output.h"
#include "folder_text.h"

namespace {

namespace fs = std::filesystem;

// The user the host runs as: nobody when the tests run as root, else the tests' own user
// (whom the read-only folder stops just as well).
constexpr uid_t kUnprivileged = 65534;
constexpr fs::perms kReadOnly = static_cast<fs::perms>(0555);
constexpr fs::perms kWritableByAll = static_cast<fs::perms>(0777);

// The library and the example host in a folder of their own, as a package installs them.
class InstalledLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("talkhub-log-place-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(library());
        for (const char* file : {TALKHUB_LIBRARY_SONAME_PATH, TALKHUB_HARBOR_SONAME_PATH, TALKHUB_TALKWIRE_SONAME_PATH,
                                 TALKHUB_EXAMPLE_PATH}) {
            fs::copy_file(file, library() / fs::path(file).filename());
        }
        fs::create_directories(home());
        fs::permissions(root_, static_cast<fs::perms>(0755));
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(home().c_str(), kUnprivileged, kUnprivileged), 0);
        }
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path library() const { return root_ / "lib"; }
    fs::path home() const { return root_ / "home"; }

    // Runs the example host as the unprivileged user with only `environment` set; its
    // login goes nowhere (port 9 of loopback is closed), the log is opened all the same.
    command_output::Finished runHost(const std::string& environment) const {
        const std::string asUser = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        return command_output::run("env -i LD_LIBRARY_PATH='" + library().string() + "' SDL_AUDIODRIVER=dummy " +
                                   environment + " " + asUser + "'" + (library() / "talkhub_example").string() +
                                   "' 127.0.0.1 9 alice alice 2>&1");
    }

private:
    fs::path root_;
};

TEST_F(InstalledLibrary, TheLogGoesBesideTheLibraryOrElseToTheUsersStateFolderAndSaysWhere) {
    struct Case {
        const char* name;
        bool libraryWritable;
        bool stateHomeSet;
        fs::path expectedFolder;
    };
    const fs::path besideLibrary = library() / "log" / "TalkHub";
    const Case cases[] = {
        {"a folder the user can write", true, false, besideLibrary},
        {"a system folder, XDG_STATE_HOME unset", false, false, home() / ".local/state/talkhub/log/TalkHub"},
        {"a system folder, XDG_STATE_HOME set", false, true, home() / "state/talkhub/log/TalkHub"},
    };
    for (const Case& tried : cases) {
        SCOPED_TRACE(tried.name);
        fs::remove_all(besideLibrary.parent_path());
        fs::permissions(library(), tried.libraryWritable ? kWritableByAll : kReadOnly);
        const std::string environment =
            "HOME='" + home().string() + "'" +
            (tried.stateHomeSet ? " XDG_STATE_HOME='" + (home() / "state").string() + "'" : "");
        const command_output::Finished host = runHost(environment);

        EXPECT_EQ(host.exitCode, 1) << "the login fails: " << host.output;
        const std::string log = test_kit::folderText(tried.expectedFolder);
        EXPECT_NE(log.find("init ptt library finish"), std::string::npos) << host.output;
        EXPECT_NE(log.find("login failed: server unreachable [-1004]."), std::string::npos);
        const std::string moved = "TalkHub: the log folder " + besideLibrary.string() +
                                  " cannot be written: the log goes to " + tried.expectedFolder.string();
        if (tried.libraryWritable) {
            EXPECT_EQ(host.output.find("TalkHub:"), std::string::npos) << host.output;
        } else {
            EXPECT_NE(host.output.find(moved), std::string::npos) << host.output;
            EXPECT_NE(log.find("log folder:[" + besideLibrary.string() + "] cannot be written"), std::string::npos);
            EXPECT_FALSE(fs::exists(besideLibrary));
        }
    }
}

TEST_F(InstalledLibrary, AUserWithoutAnyWritableFolderIsToldThatNoLogIsKept) {
    fs::permissions(library(), kReadOnly);
    // A home that is not a folder: nothing can be made below it.
    const fs::path notAFolder = home() / "file";
    std::ofstream(notAFolder) << "in the way\n";
    const command_output::Finished host = runHost("HOME='" + notAFolder.string() + "'");
    EXPECT_EQ(host.exitCode, 1) << host.output;
    EXPECT_NE(host.output.find("TalkHub: neither " + (library() / "log/TalkHub").string() + " nor " +
                               (notAFolder / ".local/state/talkhub/log/TalkHub").string() +
                               " can be written: no log is kept"),
              std::string::npos)
        << host.output;
}

}  // namespace
