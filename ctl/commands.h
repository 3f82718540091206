// The command table: each board function as one command with its options, its argument count
// and the handler that calls the library and fills the report.
#pragma once

#include "args.h"
#include "report.h"
#include "vorn.h"

#include <string>
#include <vector>

namespace vornctl {

struct Context {
    BoardHandle board = nullptr;
    ParsedArgs args;
    Report report;
    std::string error; // what went wrong, when the handler returns non-zero
    // For a command that prints as it goes: where, in which form, and whether it did (its
    // report is then not printed after it).
    std::ostream* out = nullptr;
    bool json = false;
    bool streamed = false;
};

// A handler returns an exit status (cli.h) and fills `report`, or `error` on failure.
using Handler = int (*)(Context&);

struct Command {
    const char* name;
    const char* synopsis; // arguments after the name
    const char* summary;
    OptionSpec options;
    size_t minPositionals;
    size_t maxPositionals;
    Handler run;
};

const std::vector<Command>& commandTable();
const Command* findCommand(const std::string& name);

// Sets the error for a failed library call and returns kExitFailed.
int callFailed(Context& context, const char* call, uint8_t result);
// Sets the error for refused input and returns kExitUsage.
int badInput(Context& context, const std::string& message);
// The library's result code in words.
std::string resultText(uint8_t result);

// Readers shared by the single commands and status: each adds its fields and returns the
// library's result (the first failing call's).
uint8_t readTime(BoardHandle board, Report& report);
uint8_t readDate(BoardHandle board, Report& report);
uint8_t readSync(BoardHandle board, Report& report);
uint8_t readVersions(BoardHandle board, Report& report);
uint8_t readPosition(BoardHandle board, Report& report);
uint8_t readSatellites(BoardHandle board, Report& report);

bool isGpsModel(uint16_t model);
std::string modelText(uint16_t model);

int runStatus(Context& c);
int runTime(Context& c);
int runDate(Context& c);
int runSetTime(Context& c);
int runSetYear(Context& c);
int runHeartbeat(Context& c);
int runMatch(Context& c);
int runSyncStatus(Context& c);
int runSync(Context& c);
int runPropDelay(Context& c);
int runVersions(Context& c);
int runPosition(Context& c);
int runSatellites(Context& c);
int runWaitEvent(Context& c);
int runWaitHeartbeat(Context& c);
int runWaitMatch(Context& c);
int runFlush(Context& c);
int runSimEvent(Context& c);
int runSim(Context& c);
int runEvents(Context& c);
int runHealth(Context& c);

} // namespace vornctl
