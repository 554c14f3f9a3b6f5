#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

class SmokeTest : public EngineTest {};

TEST_F(SmokeTest, NoteTravelsThroughTheEngine) {
    OpenPortsDirect();
    g_KeyShift = 2;
    Play(Msg(0x90, 60, 100));
    ASSERT_EQ(SentWords(), std::vector<uint32_t>{Msg(0x90, 62, 100)});
}

}  // namespace
}  // namespace kvntest
