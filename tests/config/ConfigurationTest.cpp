#include "config/ConfigFixture.h"
#include "config/Configuration.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kFullFile = R"(<?xml version="1.0" encoding="utf-8"?>
<MonitorRelay>
    <IPAddress>127.0.0.2</IPAddress>
    <IPRangeStart>127.0.0.10</IPRangeStart>
    <IPRangeEnd>127.0.1.20</IPRangeEnd>
    <SerialID> MR-0042 </SerialID>
    <SPO2Scale> 7 </SPO2Scale>
    <CO2Calibration>
        <Entry key="0" value="0"/>
        <Entry key="40" value="38.5"/>
    </CO2Calibration>
    <SPO2Calibration>
        <Entry key="70" value="72"/>
        <Point key="100" value="100"/>
    </SPO2Calibration>
</MonitorRelay>
)";

class ConfigurationTest : public configtest::ConfigFixture {};

std::string withReplaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

}  // namespace

TEST_F(ConfigurationTest, ConstructorSetsInitialValuesWithoutTouchingTheFile) {
    Configuration c((dir / "absent.xml").c_str());
    EXPECT_EQ(c.filePath, (dir / "absent.xml").string());
    EXPECT_EQ(c.spo2Scale, 5);
    EXPECT_TRUE(c.serialId.empty() && c.ipAddress.empty());
    EXPECT_TRUE(c.ipRangeStart.empty() && c.ipRangeEnd.empty());
    EXPECT_TRUE(c.co2Calibration.empty() && c.spo2Calibration.empty());
    EXPECT_FALSE(fs::exists(dir / "absent.xml"));
}

TEST_F(ConfigurationTest, ReadsEveryFieldAndBothTables) {
    writeFile(kFullFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    EXPECT_EQ(out, "MR>Reading configuration file: " + path +
                       "\nMR>Configuration file read succesfully.\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(c.ipAddress, "127.0.0.2");
    EXPECT_EQ(c.ipRangeStart, "127.0.0.10");
    EXPECT_EQ(c.ipRangeEnd, "127.0.1.20");
    EXPECT_EQ(c.serialId, " MR-0042 ");  // taken exactly, spaces included
    EXPECT_EQ(c.spo2Scale, 7);           // spaces around an integer are accepted
    EXPECT_EQ(c.co2Calibration, (std::map<float, float>{{0.f, 0.f}, {40.f, 38.5f}}));
    // Children count whatever their element name.
    EXPECT_EQ(c.spo2Calibration, (std::map<float, float>{{70.f, 72.f}, {100.f, 100.f}}));
}

TEST_F(ConfigurationTest, PointsMergeAcrossReadsAndOddEntriesCountAsZero) {
    writeFile(kFullFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    writeFile(withReplaced(kFullFile, R"(<Entry key="70" value="72"/>)",
                           R"(<Entry key="80" value="81"/><Entry key="80" value="83"/>)"
                           R"(<Entry key="90" value="abc"/><Entry value="5"/><!-- note -->)"));
    ASSERT_TRUE(read(c)) << err;
    // 70 survives from the first read; the later duplicate wins; letters, a
    // missing key and a comment all count as 0.
    EXPECT_EQ(c.spo2Calibration,
              (std::map<float, float>{
                  {0.f, 0.f}, {70.f, 72.f}, {80.f, 83.f}, {90.f, 0.f}, {100.f, 100.f}}));
}

TEST_F(ConfigurationTest, EmptyCalibrationTableFailsUnlessAlreadyFilled) {
    const std::string noSpo2 = withReplaced(
        kFullFile, "<Entry key=\"70\" value=\"72\"/>\n        <Point key=\"100\" value=\"100\"/>",
        "");
    writeFile(noSpo2);
    Configuration c(path.c_str());
    EXPECT_FALSE(read(c));
    EXPECT_EQ(err, "MR>ERROR>Missing \"MonitorRelay.SPO2Calibration\" into configuration XML\n");
    EXPECT_EQ(out.find("succesfully"), std::string::npos);

    const std::string noCo2 = withReplaced(
        kFullFile, "<Entry key=\"0\" value=\"0\"/>\n        <Entry key=\"40\" value=\"38.5\"/>",
        "");
    writeFile(noCo2);
    Configuration fresh(path.c_str());
    EXPECT_FALSE(read(fresh));
    EXPECT_EQ(err, "MR>ERROR>Missing \"MonitorRelay.CO2Calibration\" into configuration XML\n");

    // Points from an earlier read in the same process keep the table non-empty.
    writeFile(kFullFile);
    ASSERT_TRUE(read(c));
    writeFile(noSpo2);
    EXPECT_TRUE(read(c)) << err;
}

TEST_F(ConfigurationTest, BadFilesFailWithTheGenericMessage) {
    struct Case {
        const char* name;
        std::string text;  // empty: no file at all
    };
    const Case cases[] = {
        {"missing file", ""},
        {"malformed xml", "<MonitorRelay><IPAddress>1.2.3.4</MonitorRelay>"},
        {"fractional scale", withReplaced(kFullFile, " 7 ", "4.5")},
        {"letters as scale", withReplaced(kFullFile, " 7 ", "abc")},
        {"no serial", withReplaced(kFullFile, "<SerialID> MR-0042 </SerialID>", "")},
        {"no CO2 table",
         withReplaced(kFullFile,
                      "<CO2Calibration>\n        <Entry key=\"0\" value=\"0\"/>\n        "
                      "<Entry key=\"40\" value=\"38.5\"/>\n    </CO2Calibration>",
                      "")},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        fs::remove(path);
        if (!tc.text.empty()) {
            writeFile(tc.text);
        }
        Configuration c(path.c_str());
        EXPECT_FALSE(read(c));
        EXPECT_EQ(err.rfind("MR>ERROR>", 0), 0u) << err;
        const std::string tail = "\nUnable to read the configuration file\n";
        ASSERT_GE(err.size(), tail.size());
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
        EXPECT_EQ(out, "MR>Reading configuration file: " + path + "\n");
    }
}

TEST_F(ConfigurationTest, MissingRangeEndWarnsButSucceeds) {
    writeFile(withReplaced(kFullFile, "<IPRangeEnd>127.0.1.20</IPRangeEnd>", ""));
    Configuration c(path.c_str());
    c.ipRangeEnd = "previous";
    ASSERT_TRUE(read(c));
    EXPECT_EQ(c.ipRangeStart, "127.0.0.10");
    EXPECT_EQ(c.ipRangeEnd, "previous");
    EXPECT_EQ(err.rfind("MR>ERROR>", 0), 0u);
    const std::string tail =
        "\nUnable to read \"IPRangeStart or IPRangeEnd\" from the configuration file. Ignoring.\n";
    ASSERT_GE(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_NE(out.find("MR>Configuration file read succesfully.\n"), std::string::npos);
}

TEST_F(ConfigurationTest, WriteProducesOrderedIndentedFileThatReadsBack) {
    writeFile(kFullFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    c.spo2Scale = 3;
    c.spo2Calibration = {{97.f, 97.f}, {0.1f, 85.25f}};
    write(c);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "MR>Configuration file has been written at: " + path + "\n" + path + "\n");

    const std::string text = slurp(path);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << text;
    // Children in the fixed order, four spaces per level, nine significant digits.
    size_t at = 0;
    for (const char* piece :
         {"\n    <IPAddress>127.0.0.2</IPAddress>", "\n    <IPRangeStart>127.0.0.10</IPRangeStart>",
          "\n    <IPRangeEnd>127.0.1.20</IPRangeEnd>", "\n    <SerialID> MR-0042 </SerialID>",
          "\n    <SPO2Scale>3</SPO2Scale>", "\n    <CO2Calibration>",
          "\n        <Entry key=\"0\" value=\"0\"/>",
          "\n        <Entry key=\"40\" value=\"38.5\"/>", "\n    <SPO2Calibration>",
          "\n        <Entry key=\"0.100000001\" value=\"85.25\"/>",
          "\n        <Entry key=\"97\" value=\"97\"/>"}) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n" << text;
        at = found;
    }

    Configuration back(path.c_str());
    ASSERT_TRUE(read(back)) << err;
    EXPECT_EQ(back.ipAddress, c.ipAddress);
    EXPECT_EQ(back.ipRangeStart, c.ipRangeStart);
    EXPECT_EQ(back.ipRangeEnd, c.ipRangeEnd);
    EXPECT_EQ(back.serialId, c.serialId);
    EXPECT_EQ(back.spo2Scale, c.spo2Scale);
    EXPECT_EQ(back.co2Calibration, c.co2Calibration);
    EXPECT_EQ(back.spo2Calibration, c.spo2Calibration);
}

TEST_F(ConfigurationTest, WriteKeepsADatedBackupOfThePreviousFile) {
    writeFile(kFullFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));

    auto stampNow = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
        return std::string(stamp);
    };
    const std::string before = stampNow();
    write(c);
    const std::string after = stampNow();

    auto found = backups();
    ASSERT_EQ(found.size(), 1u);
    const std::string name = found[0].filename().string();
    EXPECT_TRUE(name == "bridge.xml." + before + ".bak" || name == "bridge.xml." + after + ".bak")
        << name;
    EXPECT_EQ(slurp(found[0].string()), kFullFile);  // byte for byte, comments included
}

TEST_F(ConfigurationTest, SavesWithinOneSecondKeepEveryBackup) {
    writeFile(kFullFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    // Older backups at the dated names of every second the saves may fall
    // into, so that both saves meet a taken name.
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 5; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
        writeFile(path + "." + stamp + ".bak", "older");
    }
    c.spo2Scale = 4;
    write(c);
    ASSERT_EQ(err, "");
    const std::string firstSave = slurp(path);
    c.spo2Scale = 6;
    write(c);
    ASSERT_EQ(err, "");
    ASSERT_LT(std::time(nullptr), now + 5);

    std::multiset<std::string> contents;
    for (const auto& b : backups()) {
        const std::string text = slurp(b.string());
        if (text != "older") {
            contents.insert(text);
            const std::string name = b.filename().string();
            const std::string suffix = name.substr(name.size() - 6);
            EXPECT_TRUE(suffix == ".1.bak" || suffix == ".2.bak") << name;
        }
    }
    EXPECT_EQ(backups().size(), 7u);  // five older ones untouched, two new
    EXPECT_EQ(contents, (std::multiset<std::string>{kFullFile, firstSave}));
}

TEST_F(ConfigurationTest, SaveWithoutAnExistingFileFailsAndCreatesNothing) {
    Configuration c(path.c_str());
    c.spo2Calibration = {{90.f, 91.f}};
    c.co2Calibration = {{1.f, 2.f}};
    write(c);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("\nUnable to save the configuration file\n"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(ConfigurationTest, FailedWriteLeavesTheOldFileIntact) {
    writeFile(kFullFile);
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c));
    for (int i = 0; i < 200; ++i) {
        c.spo2Calibration[static_cast<float>(i)] = static_cast<float>(i) + 0.5f;
    }
    // In a child process, limit file sizes so the new file cannot be written whole.
    EXPECT_EXIT(
        {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = 512;
            setrlimit(RLIMIT_FSIZE, &limit);
            c.writeConfiguration();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "MR>ERROR>.*\nUnable to save the configuration file");
    EXPECT_EQ(slurp(path), kFullFile);
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "bridge.xml" || e.path().extension() == ".bak")
            << "left behind: " << name;
    }
}

TEST_F(ConfigurationTest, UnwritableDirectoryReportsAndKeepsTheRecord) {
    Configuration c((dir / "no-such-dir" / "bridge.xml").c_str());
    c.spo2Calibration = {{1.f, 1.f}};
    write(c);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("MR>ERROR>", 0), 0u) << err;
    EXPECT_NE(err.find("\nUnable to save the configuration file"), std::string::npos);
    EXPECT_EQ(c.spo2Calibration.size(), 1u);
}

TEST_F(ConfigurationTest, RecordsAreEqualOnlyWhenEverySettingIs) {
    writeFile(
        withReplaced(kFullFile, "</MonitorRelay>", "<Metrics port=\"9100\"/></MonitorRelay>"));
    Configuration a(path.c_str());
    ASSERT_TRUE(read(a)) << err;
    Configuration b(path.c_str());
    ASSERT_TRUE(read(b)) << err;
    b.filePath = "elsewhere.xml";  // where it came from is not a setting
    EXPECT_EQ(a, b);
    const std::vector<std::pair<const char*, void (*)(Configuration&)>> changes = {
        {"scale", [](Configuration& c) { c.spo2Scale++; }},
        {"serial", [](Configuration& c) { c.serialId += "x"; }},
        {"address", [](Configuration& c) { c.ipAddress += "x"; }},
        {"range start", [](Configuration& c) { c.ipRangeStart += "x"; }},
        {"range end", [](Configuration& c) { c.ipRangeEnd += "x"; }},
        {"SpO2 table", [](Configuration& c) { c.spo2Calibration[70.f] = 71.f; }},
        {"CO2 table", [](Configuration& c) { c.co2Calibration.erase(0.f); }},
        {"metrics", [](Configuration& c) { c.metricsEnabled = false; }},
        {"metrics address", [](Configuration& c) { c.metricsAddress = "::1"; }},
        {"metrics port", [](Configuration& c) { c.metricsPort++; }},
    };
    for (const auto& change : changes) {
        Configuration c = a;
        change.second(c);
        EXPECT_NE(a, c) << change.first;
    }
}
