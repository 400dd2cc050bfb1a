// Runs the update program's real entry function against the simulated driver library and a
// stand-in identity library, and collects what the user and the hardware saw.
#pragma once

#include <gtest/gtest.h>
#include <winstub.h>

#include <string>
#include <vector>

#include "nvsim.h"

struct Box {
    std::string text;
    std::string caption;
    bool operator==(const Box&) const = default;
};
void PrintTo(const Box& box, std::ostream* os);

// The texts as the user must see them, spelled out here rather than taken from the program.
extern const Box kBoxNoUpdateLoadFailed;  // identity library not loadable
extern const Box kBoxNoUpdate;
extern const Box kBoxLatestLoadFail;      // driver API initialisation had failed
extern const Box kBoxLatest;
extern const Box kBoxWarning;
extern const Box kBoxFailed;
extern const Box kBoxCompleted;

// I2C commands as "<gpu>:<bytes>", e.g. "0:D1 1A 97"; gpu -1 for a handle that is no GPU.
using Commands = std::vector<std::string>;
Commands StateQueries(int nQueries);  // the first n queries of the state check, on GPU 0
Commands ProgramGroup(int gpu);       // the six programming commands
Commands CompletionQuery();
Commands operator+(Commands a, const Commands& b);

enum class CardTag { Present, Missing, NoExport };

struct Outcome {
    int nExit = -1;
    std::vector<Box> boxes;
    Commands commands;
    std::vector<uint32_t> sleeps;
    int nReboots = 0;
};

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The simulated driver's scenario, in its text format.
    void UseScenario(const std::string& text);
    // What the identity library answers: a text, or null.
    void UsePPID(const char* szPPID);
    // Where the program looks for the identity library; Run adds it there unless Missing.
    void UseCardTag(CardTag cardTag);
    // An identity library file at any path, answering the PPID given to UsePPID.
    static void AddCardTag(const std::string& path, CardTag cardTag = CardTag::Present);
    // Runs the entry function and checks what holds on every path: exit code 0, message boxes
    // without owner and with MB_OK, nothing written to the IC before the warning box, and
    // waits of exactly 150/550/1500 ms after the three control steps and nowhere else.
    Outcome Run(int (*entry)(int, char**, char**) = nullptr);

    nvsim::Scenario scenario_;
    CardTag cardTag_ = CardTag::Present;
};

extern const char kEligiblePPID[];

// One run of the program: the situation and what must come out of it.
struct Case {
    const char* name;      // test name
    const char* scenario;  // simulated driver, in its scenario text format
    std::vector<Box> boxes;
    Commands commands;     // every I2C transaction, in order
    int nGroups;           // programming groups sent, each followed by its three waits
    bool bReboot;
};
void PrintTo(const Case& c, std::ostream* os);
void ExpectOutcome(const Case& c, const Outcome& out);
