// Files a careful user may really meet, and the save path's failure cases:
// no read may crash or accept what a save cannot write back, and no save may
// damage the file, its link, its backup or its permissions.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "config/ConfigFixture.h"
#include "config/Configuration.h"

namespace fs = std::filesystem;

namespace {

const std::string kHead = R"(<?xml version="1.0" encoding="utf-8"?>
<MonitorRelay>
    <IPAddress>127.0.0.2</IPAddress>
    <IPRangeStart></IPRangeStart>
    <IPRangeEnd></IPRangeEnd>
)";
const std::string kTail = R"(    <SPO2Scale>5</SPO2Scale>
    <CO2Calibration><Entry key="0" value="1"/></CO2Calibration>
    <SPO2Calibration><Entry key="85" value="60"/></SPO2Calibration>
</MonitorRelay>
)";

std::string fileWithSerial(const std::string& serialElement) {
    return kHead + "    " + serialElement + "\n" + kTail;
}

const std::string kGood = fileWithSerial("<SerialID>SN-42</SerialID>");

std::size_t openDescriptors() {
    std::size_t n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++n;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return n;
}

std::string stamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d-%m-%Y %H-%M-%S", &local);
    return text;
}

class ConfigurationSafety : public configtest::ConfigFixture {
  protected:
    void TearDown() override {
        config_io::setSyncFunction(nullptr);
        ConfigFixture::TearDown();
    }

    // Reading fails with "MR>ERROR>" + a reason, then the generic line.
    void expectReadRefused(const std::string& text, const std::string& reason) {
        SCOPED_TRACE(reason);
        writeFile(path, text);
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        EXPECT_EQ(err.rfind("MR>ERROR>", 0), 0u) << err;
        EXPECT_NE(err.find(reason), std::string::npos) << err;
        const std::string tail = "\nUnable to read the configuration file\n";
        ASSERT_GE(err.size(), tail.size());
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
    }
    void expectSaveRefused() {
        EXPECT_EQ(out, "");
        EXPECT_EQ(err.rfind("MR>ERROR>", 0), 0u) << err;
        const std::string tail = "\nUnable to save the configuration file\n";
        ASSERT_GE(err.size(), tail.size());
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }
};

}  // namespace

TEST_F(ConfigurationSafety, CharactersXmlCannotHoldAreRefusedWhenReading) {
    // A NUL character reference was read, then saved raw, and the next start
    // refused the saved file.
    expectReadRefused(fileWithSerial("<SerialID>SN&#0;42</SerialID>"),
                      "MonitorRelay.SerialID holds a character XML cannot represent (\\x00)");
    expectReadRefused(kHead + "    <SerialID>SN\x01</SerialID>\n" + kTail, "(\\x01)");
    expectReadRefused(fileWithSerial("<SerialID>&#xD800;</SerialID>"), "(\\xed)");
    // Tab, line feed and carriage return are allowed and come back as they were.
    writeFile(path, fileWithSerial("<SerialID>&#9;A&#10;B&#13;</SerialID>"));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    EXPECT_EQ(c.serialId, "\tA\nB\r");
    write(c);
    Configuration back(path.c_str());
    ASSERT_TRUE(read(back)) << err;
    EXPECT_EQ(back.serialId, c.serialId);
}

TEST_F(ConfigurationSafety, ARangeEndXmlCannotHoldIsIgnoredLikeAMissingOne) {
    writeFile(path, kHead + "    <SerialID/>\n" + kTail);
    std::string text = slurp(path);
    text.replace(text.find("<IPRangeEnd></IPRangeEnd>"), 25, "<IPRangeEnd>&#27;</IPRangeEnd>");
    writeFile(path, text);
    Configuration c(path.c_str());
    c.ipRangeEnd = "before";
    ASSERT_TRUE(read(c)) << err;
    EXPECT_EQ(c.ipRangeEnd, "before");
    EXPECT_NE(err.find("Unable to read \"IPRangeStart or IPRangeEnd\""), std::string::npos);
}

TEST_F(ConfigurationSafety, ASaveThatWouldNotReadBackLeavesTheFileAlone) {
    writeFile(kGood);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    // An infinite value is written "inf", which reads back as 0.
    c.spo2Calibration[85.f] = std::numeric_limits<float>::infinity();
    write(c);
    expectSaveRefused();
    EXPECT_NE(err.find("MR>ERROR>the new text would not read back the same SPO2Calibration"),
              std::string::npos)
        << err;
    EXPECT_EQ(slurp(path), kGood);
    // An empty table cannot be read back either.
    c.spo2Calibration = {{85.f, 60.f}};
    c.co2Calibration.clear();
    write(c);
    expectSaveRefused();
    EXPECT_NE(err.find("would not read back the same CO2Calibration"), std::string::npos) << err;
    EXPECT_EQ(slurp(path), kGood);
    EXPECT_TRUE(backups().empty());
}

TEST_F(ConfigurationSafety, HugeAndDeeplyNestedFilesAreRefusedNotFatal) {
    // 30,000 nested elements (about 210 KB) overflowed the reader's stack.
    std::string deep;
    for (int i = 0; i < 30000; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < 30000; ++i) {
        deep += "</a>";
    }
    expectReadRefused(kHead + deep + "<SerialID/>" + kTail, "nested deeper than 100 levels");
    // Declarations the reader skips to their first ">" hide nothing, brackets or not.
    expectReadRefused(kHead + "<![x>" + deep + "<SerialID/>" + kTail,
                      "nested deeper than 100 levels");
    expectReadRefused(kHead + "<!DOCTYPE a [<!ENTITY b '>'>]>" + deep + kTail,
                      "nested deeper than 100 levels");

    std::string padded = kGood;
    padded.insert(padded.find("<MonitorRelay>"), "<!--" + std::string(1024 * 1024, ' ') + "-->");
    expectReadRefused(padded, "file larger than 1048576 bytes");

    // Generous: ninety levels in an element the bridge ignores still read.
    std::string ninety;
    for (int i = 0; i < 90; ++i) {
        ninety += "<b x='>'>";
    }
    for (int i = 0; i < 90; ++i) {
        ninety += "</b>";
    }
    writeFile(path, kHead + ninety + "<SerialID/>" + kTail);
    Configuration c(path.c_str());
    EXPECT_TRUE(read(c)) << err;
}

TEST_F(ConfigurationSafety, AFailedSyncClosesTheFileAndKeepsTheOldOne) {
    writeFile(path, kGood);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 3;
    config_io::setSyncFunction([](int) {
        errno = EIO;
        return -1;
    });
    const std::size_t before = openDescriptors();
    write(c);
    EXPECT_EQ(openDescriptors(), before) << "a descriptor was left open";
    expectSaveRefused();
    EXPECT_EQ(slurp(path), kGood);
    for (const std::string& name : entries()) {
        EXPECT_TRUE(name == "bridge.xml" || name.find(".bak") != std::string::npos)
            << "left behind: " << name;
    }
}

TEST_F(ConfigurationSafety, TheBackupKeepsThePrivateModeOfTheFile) {
    writeFile(path, kGood);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const mode_t previous = umask(022);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    write(c);
    umask(previous);
    ASSERT_EQ(err, "");
    bool found = false;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".bak") {
            found = true;
            struct stat st {};
            ASSERT_EQ(stat(e.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u) << "the backup is readable by others";
            EXPECT_EQ(slurp(e.path().string()), kGood);
        }
    }
    EXPECT_TRUE(found);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ConfigurationSafety, ALinkAtTheBackupNameIsNotFollowed) {
    writeFile(path, kGood);
    const std::string victim = (dir / "victim.txt").string();
    writeFile(victim, "keep me");
    // Links for every second the save may fall into.
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 5; ++t) {
        fs::create_symlink(victim, path + "." + stamp(t) + ".bak");
    }
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 8;
    write(c);
    ASSERT_LT(std::time(nullptr), now + 5);
    EXPECT_EQ(slurp(victim), "keep me");
    // No backup could be made there; the save itself goes on.
    EXPECT_NE(out.find("MR>Configuration file has been written at: "), std::string::npos) << err;
    EXPECT_NE(slurp(path).find("<SPO2Scale>8</SPO2Scale>"), std::string::npos);
}

TEST_F(ConfigurationSafety, ABackupThatCannotBeWrittenWholeStopsTheSave) {
    // The old file is large (a long comment), the new one small: only the backup
    // exceeds the file-size limit of the child process.
    const std::string large = "<!--" + std::string(8000, 'x') + "-->\n" + kGood;
    writeFile(path, large);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 9;
    EXPECT_EXIT(
        {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = 4096;
            setrlimit(RLIMIT_FSIZE, &limit);
            c.writeConfiguration();
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "MR>ERROR>cannot write the backup of .*\nUnable to save the configuration file");
    EXPECT_EQ(slurp(path), large);
}

TEST_F(ConfigurationSafety, ASaveThroughALinkWritesTheTargetAndKeepsTheLink) {
    fs::create_directories(dir / "real");
    const std::string target = (dir / "real" / "bridge.xml").string();
    writeFile(target, kGood);
    fs::create_symlink("real/bridge.xml", path);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 6;
    write(c);
    ASSERT_EQ(err, "");
    EXPECT_TRUE(fs::is_symlink(path)) << "the link was replaced by a plain file";
    EXPECT_NE(slurp(target).find("<SPO2Scale>6</SPO2Scale>"), std::string::npos);
    // The backup lies beside the file it copies, not beside the link.
    std::vector<std::string> real;
    for (const auto& e : fs::directory_iterator(dir / "real")) {
        real.push_back(e.path().filename().string());
    }
    std::sort(real.begin(), real.end());
    ASSERT_EQ(real.size(), 2u);
    EXPECT_EQ(real[0], "bridge.xml");
    EXPECT_EQ(real[1].rfind("bridge.xml.", 0), 0u);
    EXPECT_EQ(fs::path(real[1]).extension(), ".bak");
    EXPECT_TRUE(backups().empty()) << "a backup beside the link";
}

TEST_F(ConfigurationSafety, AFileWithoutWritePermissionIsNotReplacedEvenForRoot) {
    writeFile(path, kGood);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 2;
    write(c);
    expectSaveRefused();
    EXPECT_NE(err.find("is not writable"), std::string::npos) << err;
    EXPECT_EQ(slurp(path), kGood);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}
