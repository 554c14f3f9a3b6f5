// The two SysEx pattern tables: what is dropped (other software's master tune) and what is
// followed by our tuning (the resets).
#include "engine/engine.h"

const char* const kIgnoreLabels[kTableRows] = {
    "<XG  Master Tune1>", "<XG  Master Tune2>", "<GS  Master Tune >",
    "<GM1 Master Tune >", "<GM2 Master Tune >", "<User Define 1   >",
    "<User Define 2   >", "<User Define 3   >", "<User Define 4   >",
};

const char* const kTriggerLabels[kTableRows] = {
    "<XG  Reset      >", "<GS  Reset      >", "<88  Reset      >", "<GM1 Reset      >", "<GM2 Reset      >",
    "<User Define 1  >", "<User Define 2  >", "<User Define 3  >", "<User Define 4  >",
};

const char* const kIgnoreBuiltIn[kFixedRows] = {
    "F0 43 ** ** 30 00 00 ** ** ** F7",
    "F0 43 ** ** 00 00 00 ** ** ** ** F7",
    "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7",
    "F0 7F ** ** 01 ** ** F7",
    "F0 7F ** ** 03 ** ** F7",
};

const char* const kTriggerBuiltIn[kFixedRows] = {
    "F0 43 ** ** 00 00 7E 00 F7",
    "F0 41 ** ** 12 40 00 7F ** ** F7",
    "F0 41 ** ** 12 00 00 7F ** ** F7",
    "F0 7E ** ** 01 F7",
    "F0 7E ** ** 03 F7",
};

void mf_SetBuiltInRows() {
    for (int row = 0; row < kFixedRows; ++row) {
        g_IgnoreTable[row] = kIgnoreBuiltIn[row];
        g_TriggerTable[row] = kTriggerBuiltIn[row];
    }
}
