// The whole application on the simulated platform: a fresh folder holding the skin, a fresh world,
// start-up, the user's mouse, and shutdown.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/sim/sim.h"
#include "platform/sim/sim_window.h"
#include "platform/window.h"

namespace kvntest {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs InitInstance; the 1 s pause of the frame passes in simulated time.
    bool Start();
    // Handles everything queued, as the message loop would.
    void Pump();
    // Posts a close request to the main frame, runs the loop to its end and ExitInstance.
    int CloseByPlatform();
    // Presses and releases the panel's close button; returns the exit code.
    int CloseByPanel();

    // The mouse over client point p: move, press, release (each handled before the next).
    void MoveTo(plat::Point p);
    void Press();
    void Release();
    void Click(plat::Point p);
    void DoubleClick(plat::Point p);
    // A client point whose hit-map red value names `region`.
    plat::Point PointOf(int region) const;

    // A new process in the same folder: the ports of this one go with it, and everything
    // process-wide is back at its start values.
    void NextLife();

    std::string IniPath() const;
    std::string ReadIni() const;
    void WriteIni(const std::string& text) const;
    void RemoveSkinFile(const std::string& name) const;

    std::filesystem::path root_;    // a fresh temporary folder
    std::filesystem::path folder_;  // root_/Studio: the current directory of the program
};

// A fresh temporary folder for one test.
std::filesystem::path FreshTempDir();

// The line end the platform gives new files.
#ifdef _WIN32
inline const std::string kEol = "\r\n";
#else
inline const std::string kEol = "\n";
#endif

}  // namespace kvntest
