// Source lines that traceback entries and code objects name: each is the line of its statement in
// reference/base.py, the Python source that the module reproduces statement by statement (the tests check
// every one against it).
#pragma once

#include "../runtime/traceback.hpp"

namespace nlsqlagent::base::line {

// Initialisation: the set-up before the statements reports the first line.
constexpr int kSetup = 1;
constexpr int kConnectorClass = 15;
constexpr int kRunnerClass = 47;
constexpr int kTest = 72;

constexpr int kConnectorInit = 16;
constexpr int kConnectorInitFirstStore = 17;  // the six stores follow on consecutive lines

constexpr int kConnect = 24;
constexpr int kConnectCheck = 25;
constexpr int kConnectMissing = 26;
constexpr int kConnectMissingReturn = 27;
constexpr int kConnectOpen = 29;
constexpr int kConnectConnected = 30;
constexpr int kConnectMessage = 31;
constexpr int kConnectHandler = 33;
constexpr int kConnectReturn = 34;

constexpr int kGetDbInstance = 36;
constexpr int kGetDbInstanceCheck = 37;
constexpr int kGetDbInstanceMissing = 38;
constexpr int kGetDbInstanceMissingReturn = 39;
constexpr int kGetDbInstanceOpen = 41;
constexpr int kGetDbInstanceHandler = 43;
constexpr int kGetDbInstanceReturn = 44;

constexpr int kRunnerInit = 48;
constexpr int kRunnerInitFirstStore = 49;  // the six stores follow on consecutive lines
constexpr int kRunnerCreate = 56;
constexpr int kRunnerIsNone = 57;
constexpr int kRunnerPrintNone = 58;
constexpr int kRunnerPrintAgent = 60;
constexpr int kRunnerStoreError = 62;
constexpr int kRunnerPrintError = 63;

constexpr int kRun = 65;
constexpr int kRunTest = 66;
constexpr int kRunCall = 67;
constexpr int kRunPrint = 69;

// The last statement of the source; every entry names a line up to it.
constexpr int kLast = kTest;
static_assert(kLast <= rt::kMaxSourceLine, "traceback sites keep a code object per line up to kMaxSourceLine");

}  // namespace nlsqlagent::base::line
