// A save against what a real installation meets: an administrator editing the
// file, a service user owning it, a full or read-only file system, a save
// killed half-way, and a crafted file.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "config/ConfigFixture.h"
#include "config/Configuration.h"

namespace fs = std::filesystem;

namespace {

const std::string kFile = R"(<?xml version="1.0" encoding="utf-8"?>
<!-- ward 3 -->
<MonitorRelay>
    <IPAddress>127.0.0.2</IPAddress>
    <IPRangeStart></IPRangeStart>
    <IPRangeEnd></IPRangeEnd>
    <SerialID>SN-42</SerialID>
    <SPO2Scale>5</SPO2Scale>
    <CO2Calibration>
        <Entry key="0" value="1"/>
    </CO2Calibration>
    <SPO2Calibration>
        <Entry key="85" value="60"/>
    </SPO2Calibration>
</MonitorRelay>
)";

constexpr uid_t kOtherUser = 65534;  // nobody

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir)) {
        found.push_back(e.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

class ConfigurationSave : public configtest::ConfigFixture {
  protected:
    // Runs `body` in a child process with its own mount namespace and a fresh
    // tmpfs (mount `options`) at `at`: the machine's mounts stay untouched.
    // Returns what the body found wrong, empty when nothing; "skip" when
    // mount namespaces are not available here.
    static std::string inPrivateTmpfs(const std::string& at, const std::string& options,
                                      const std::function<std::string()>& body) {
        int fds[2];
        if (pipe(fds) != 0) {
            return "pipe failed";
        }
        std::cout.flush();
        std::cerr.flush();
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string result = "skip";
            if (unshare(CLONE_NEWNS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0) {
                result = body();
            }
            const ssize_t n = ::write(fds[1], result.data(), result.size());
            _exit(n == static_cast<ssize_t>(result.size()) ? 0 : 1);
        }
        close(fds[1]);
        std::string result;
        char buffer[512];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            result.append(buffer, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return "the child failed: " + result;
        }
        return result;
    }

    // The failed save of a changed record in `mnt`: file, record and
    // directory must stay as they were.
    static std::string expectSaveLeavesEverything(Configuration& c, const std::string& text,
                                                  const fs::path& mnt) {
        const std::vector<std::string> before = names(mnt);
        c.spo2Scale = 9;
        c.spo2Calibration = {{90.f, 80.f}};
        if (c.writeConfiguration()) {
            return "the save succeeded";
        }
        if (slurp(c.filePath) != text) {
            return "the file changed";
        }
        if (c.spo2Scale != 9 || c.spo2Calibration != std::map<float, float>{{90.f, 80.f}}) {
            return "the record changed";
        }
        if (names(mnt) != before) {
            return "something was left in the directory";
        }
        return "";
    }
};

}  // namespace

TEST_F(ConfigurationSave, AnAddressEditedOnDiskSinceStartUpSurvivesASave) {
    writeFile(kFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    // The administrator changes the address and adds a note meanwhile.
    const std::string edited =
        replaced(replaced(kFile, "127.0.0.2", "10.1.2.3"), "    <SerialID>",
                 "    <!-- new unit -->\n    <Note>spare</Note>\n    <SerialID>");
    writeFile(edited);
    c.spo2Scale = 3;
    c.spo2Calibration = {{90.f, 80.f}, {97.f, 60.f}};
    write(c);
    ASSERT_EQ(err, "");
    EXPECT_EQ(slurp(path), replaced(replaced(edited, "<SPO2Scale>5<", "<SPO2Scale>3<"),
                                    "        <Entry key=\"85\" value=\"60\"/>",
                                    "        <Entry key=\"90\" value=\"80\"/>\n"
                                    "        <Entry key=\"97\" value=\"60\"/>"));
    EXPECT_EQ(c.ipAddress, "127.0.0.2");  // the running bridge's record is not the file
}

TEST_F(ConfigurationSave, AFileThatNoLongerReadsFailsTheSave) {
    writeFile(kFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    const std::string broken = replaced(kFile, "</MonitorRelay>", "");
    writeFile(broken);
    write(c);
    EXPECT_EQ(err.rfind("MR>ERROR>", 0), 0u) << err;
    EXPECT_NE(err.find("\nUnable to save the configuration file\n"), std::string::npos) << err;
    EXPECT_EQ(slurp(path), broken);
    EXPECT_TRUE(backups().empty());
}

TEST_F(ConfigurationSave, TheOwnerAndGroupOfTheFileAreKept) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the file to another user";
    }
    writeFile(kFile);
    ASSERT_EQ(chown(path.c_str(), kOtherUser, kOtherUser), 0);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 7;
    write(c);
    ASSERT_EQ(err, "");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOtherUser) << "the service user lost its file";
    EXPECT_EQ(st.st_gid, kOtherUser);
    EXPECT_NE(slurp(path).find("<SPO2Scale>7</SPO2Scale>"), std::string::npos);
}

TEST_F(ConfigurationSave, ALinkOfAnotherUserIsNotFollowed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the link to another user";
    }
    fs::create_directories(dir / "real");
    const std::string target = (dir / "real" / "bridge.xml").string();
    writeFile(target, kFile);
    fs::create_symlink(target, path);
    ASSERT_EQ(lchown(path.c_str(), kOtherUser, kOtherUser), 0);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 7;
    write(c);
    EXPECT_NE(err.find("MR>ERROR>the link " + path +
                       " belongs to user 65534 and is not followed\n"
                       "Unable to save the configuration file\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(slurp(target), kFile);
    EXPECT_EQ(names(dir / "real"), std::vector<std::string>{"bridge.xml"});
}

TEST_F(ConfigurationSave, AReadOnlyDirectoryGetsNoSaveAndALinkThereABackupBesideItsTarget) {
    const fs::path mnt = dir / "mnt";
    fs::create_directories(dir / "real");
    fs::create_directory(mnt);
    const std::string target = (dir / "real" / "bridge.xml").string();
    writeFile(target, kFile);
    const std::string found = inPrivateTmpfs(mnt, "size=1m", [&] {
        const std::string file = (mnt / "bridge.xml").string();
        const std::string link = (mnt / "linked.xml").string();
        writeFile(file, kFile);
        Configuration c(file.c_str());
        Configuration linked(link.c_str());
        if (symlink(target.c_str(), link.c_str()) != 0 || !c.readConfiguration() ||
            !linked.readConfiguration()) {
            return std::string("cannot set up");
        }
        if (mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            return std::string("cannot remount read-only");
        }
        const std::string result = expectSaveLeavesEverything(c, kFile, mnt);
        if (!result.empty()) {
            return result;
        }
        // The file a link names is saved, and its backup lies beside it,
        // where it can be written: not beside the link.
        linked.spo2Scale = 8;
        if (!linked.writeConfiguration()) {
            return std::string("the save through the link failed");
        }
        return std::string();
    });
    if (found == "skip") {
        GTEST_SKIP() << "no mount namespaces here";
    }
    EXPECT_EQ(found, "");
    EXPECT_NE(slurp(target).find("<SPO2Scale>8</SPO2Scale>"), std::string::npos);
    const std::vector<std::string> real = names(dir / "real");
    ASSERT_EQ(real.size(), 2u);
    EXPECT_EQ(slurp((dir / "real" / real[1]).string()), kFile) << real[1];
}

TEST_F(ConfigurationSave, AFullFileSystemLeavesFileRecordAndDirectoryAsTheyWere) {
    const fs::path mnt = dir / "mnt";
    fs::create_directory(mnt);
    const std::string found = inPrivateTmpfs(mnt, "size=512k", [&] {
        // A file of 100 KB (a long comment) and 40 KB left: the backup cannot
        // be written whole.
        const std::string text = "<!--" + std::string(100 * 1024, 'x') + "-->\n" + kFile;
        const std::string file = (mnt / "bridge.xml").string();
        writeFile(file, text);
        Configuration c(file.c_str());
        if (!c.readConfiguration()) {
            return std::string("the file did not read");
        }
        const std::string filler = (mnt / "filler").string();
        FILE* f = std::fopen(filler.c_str(), "w");
        if (f == nullptr) {
            return std::string("cannot create the filler");
        }
        const std::string block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
               std::fflush(f) == 0) {
        }
        std::fclose(f);  // the file system is full now
        fs::resize_file(filler, fs::file_size(filler) - 40 * 1024);
        return expectSaveLeavesEverything(c, text, mnt);
    });
    if (found == "skip") {
        GTEST_SKIP() << "no mount namespaces here";
    }
    EXPECT_EQ(found, "");
}

TEST_F(ConfigurationSave, LeftoversOfAKilledSaveAreRemovedAtStartUpAndSave) {
    writeFile(kFile);
    const std::vector<std::string> others = {"bridge.xml.saving-Ab12C", "bridge.xml.Ab12Cd",
                                             "other.xml.saving-Ab12Cd", "bridge.xml.saving-Ab.2Cd"};
    for (const std::string& name : others) {
        writeFile((dir / name).string(), "not ours");
    }
    writeFile((dir / "bridge.xml.saving-Ab12Cd").string(), "<Monitor");
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    EXPECT_NE(out.find("MR>Removed the leftover of an interrupted save: " +
                       (dir / "bridge.xml.saving-Ab12Cd").string() + "\n"),
              std::string::npos)
        << out;
    std::vector<std::string> expected = others;
    expected.push_back("bridge.xml");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names(dir), expected);

    writeFile((dir / "bridge.xml.saving-zZ9zZ9").string(), "<Monitor");
    write(c);
    ASSERT_EQ(err, "");
    for (const std::string& name : names(dir)) {
        EXPECT_NE(name, "bridge.xml.saving-zZ9zZ9");
    }
    EXPECT_EQ(names(dir).size(), expected.size() + 1);  // and the new backup
}

TEST_F(ConfigurationSave, AQuoteInAnElementNameDoesNotHideDeepNesting) {
    // The reader takes the quote as part of the name "x\""; a guard that took
    // it for an attribute value saw no nesting, and the reader overflowed its
    // stack on the levels that followed.
    std::string text = replaced(kFile, "<SerialID>", "<x\">");
    text.reserve(text.size() + 900000);
    const std::size_t at = text.find("<x\">") + 4;
    text.insert(at, [] {
        std::string deep;
        for (int i = 0; i < 300000; ++i) {
            deep += "<a>";
        }
        return deep;
    }());
    writeFile(text);
    Configuration c(path.c_str());
    EXPECT_FALSE(read(c));
    EXPECT_NE(err.find("elements nested deeper than 100 levels"), std::string::npos) << err;
}
