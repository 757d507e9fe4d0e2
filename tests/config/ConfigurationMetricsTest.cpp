// The optional Metrics element: read, checked, shown, and kept by a save.
#include "ConfigFixture.h"
#include "config/ConfigCheck.h"

using configtest::ConfigFixture;

namespace {

std::string fileWith(const std::string& metrics) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<MonitorRelay>
    <IPAddress>10.0.0.5</IPAddress>
    <IPRangeStart></IPRangeStart>
    <IPRangeEnd></IPRangeEnd>
    <SerialID></SerialID>
    <SPO2Scale>5</SPO2Scale>
    )" + metrics +
           R"(
    <CO2Calibration>
        <Entry key="0" value="1"/>
    </CO2Calibration>
    <SPO2Calibration>
        <Entry key="85" value="60"/>
    </SPO2Calibration>
</MonitorRelay>
)";
}

class MetricsElement : public ConfigFixture {
  protected:
    bool readSetting(Configuration& c) { return readMetricsSetting(path, c, error); }
    int check() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = checkConfigurationFile(path);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return status;
    }
    std::string error;
};

}  // namespace

TEST_F(MetricsElement, IsReadWithItsDefaultsAndAbsentMeansOff) {
    Configuration c(path.c_str());
    writeFile(fileWith("<!-- no metrics -->"));
    ASSERT_TRUE(readSetting(c)) << error;
    EXPECT_FALSE(c.metricsEnabled);

    writeFile(fileWith(R"(<Metrics address="0.0.0.0" port="19743"/>)"));
    ASSERT_TRUE(read(c)) << err;
    EXPECT_TRUE(c.metricsEnabled);
    EXPECT_EQ("0.0.0.0", c.metricsAddress);
    EXPECT_EQ(19743, c.metricsPort);

    writeFile(fileWith("<Metrics/>"));
    Configuration d(path.c_str());
    ASSERT_TRUE(readSetting(d)) << error;
    EXPECT_TRUE(d.metricsEnabled);
    EXPECT_EQ("127.0.0.1", d.metricsAddress);
    EXPECT_EQ(9743, d.metricsPort);
}

TEST_F(MetricsElement, AWrongValueTurnsItOffButNotTheBridge) {
    for (const char* element :
         {R"(<Metrics port="70000"/>)", R"(<Metrics port="0"/>)", R"(<Metrics port="97x"/>)",
          R"(<Metrics port="-1"/>)", R"(<Metrics address="localhost"/>)"}) {
        writeFile(fileWith(element));
        Configuration c(path.c_str());
        EXPECT_FALSE(readSetting(c)) << element;
        EXPECT_FALSE(c.metricsEnabled) << element;
        EXPECT_NE(std::string::npos, error.find("MonitorRelay.Metrics")) << error;
        EXPECT_TRUE(read(c)) << element << ": the bridge would not start\n" << err;
        EXPECT_FALSE(c.metricsEnabled) << element;
        EXPECT_EQ(0, check()) << element;
        EXPECT_NE(std::string::npos, err.find("MR>WARNING>MonitorRelay.Metrics")) << err;
    }
}

TEST_F(MetricsElement, ASaveKeepsIt) {
    const std::string element = R"(<Metrics address="127.0.0.1"  port="9743" />)";
    writeFile(fileWith(element));
    Configuration c(path.c_str());
    ASSERT_TRUE(read(c)) << err;
    c.spo2Calibration[90] = 50;
    write(c);
    ASSERT_NE(std::string::npos, out.find("has been written")) << err;
    EXPECT_NE(std::string::npos, slurp(path).find("\n    " + element + "\n")) << slurp(path);
}

TEST_F(MetricsElement, CheckShowsItAndWarnsOnlyAboutWhatItDoesNotKnow) {
    writeFile(fileWith(R"(<Metrics address="::1" port="9100"/>)"));
    ASSERT_EQ(0, check()) << err;
    EXPECT_NE(std::string::npos, out.find("MR>Metrics endpoint: http://[::1]:9100/metrics\n"))
        << out;
    EXPECT_EQ("", err);

    writeFile(fileWith(R"(<Metrics port="9100" path="/x"/>)"));
    ASSERT_EQ(0, check()) << err;
    EXPECT_EQ("MR>WARNING>unknown attribute \"path\" in MonitorRelay.Metrics\n", err);

    writeFile(fileWith(""));
    ASSERT_EQ(0, check()) << err;
    EXPECT_EQ(std::string::npos, out.find("Metrics")) << "said without the element\n" << out;
}
