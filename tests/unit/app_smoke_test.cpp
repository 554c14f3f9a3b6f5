#include "engine/engine.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

class AppSmokeTest : public AppTest {};

TEST_F(AppSmokeTest, StartsTunesAndSavesEverySettingAtTheEnd) {
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    ASSERT_TRUE(Start());
    EXPECT_TRUE(sim::Shown(sim::MainFrame()));
    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - Studio");
    EXPECT_TRUE(sim::InputStarted());
    EXPECT_EQ(g_LampMasterTune, 200);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4405);
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string ini = ReadIni();
    EXPECT_NE(ini.find("g_Frequency=4405"), std::string::npos) << ini;
#ifdef _WIN32
    const std::string eol = "\r\n";
#else
    const std::string eol = "\n";
#endif
    EXPECT_NE(ini.find("[WindowPosition]" + eol + "left=590" + eol + "top=445" + eol), std::string::npos) << ini;
}

}  // namespace
}  // namespace kvntest
