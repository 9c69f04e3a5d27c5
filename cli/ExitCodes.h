// kdt212ctl's exit codes, as --help and the README give them.
#pragma once

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitNotInState = 1;     // is: the relay is on the other input
constexpr int kExitUsage = 2;          // bad usage, no address, a name refused
constexpr int kExitUnreachable = 3;    // cannot connect, no answer in time, connection lost
constexpr int kExitRefused = 4;        // the unit refused: locked, did not switch, other model
constexpr int kExitInterrupted = 130;  // Ctrl+C, except for watch, which ends with 0

}  // namespace cli
