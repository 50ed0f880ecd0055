#pragma once

#include <string>
#include <vector>

#include "state/hand_off_store.h"

namespace z39 {

// How the program was launched.
struct LaunchMode {
    std::string launchQuery;  // "ISBN" or "NAME", a separator, the value; empty when interactive
    bool handOff = false;     // the query came through the hand-off store
    bool keepFullWindow = false;  // second argument "1": no compact window
};

// Value names of the hand-off store.
inline constexpr const char* kHandOffSignName = "Z39_USE_SIGN";
inline constexpr const char* kHandOffInputName = "Z39_INPUT_STR";
inline constexpr const char* kHandOffOutputName = "Z39_OUTPUT_STR";
inline constexpr const char* kHandOffSign = "USE_REGS_TYPE";

struct LaunchDecision {
    LaunchMode mode;
    bool accepted = false;       // a query was accepted (the caller deletes lib.tmp)
    bool compactWindow = false;  // the frame starts as the small waiting window
    // The sign could not be emptied: the query is not run (it would run again at every
    // start as if new); the path of the store that could not be written.
    std::string signNotCleared;
};

// Settles the launch mode from the hand-off store and the command-line arguments
// (GBK, program name excluded). A waiting sign in the store is used once: the sign
// and the input value are emptied. A query is accepted only when it begins with
// "ISBN" or "NAME" in exactly that case.
LaunchDecision DetectLaunchMode(const std::vector<std::string>& args, HandOffStore& store);

// The search value of a launch query: the text from its sixth character on.
std::string LaunchQueryValue(const std::string& launchQuery);

// True when the launch query asks for an ISBN ("ISBN@" prefix), else it is a title.
bool LaunchQueryIsIsbn(const std::string& launchQuery);

}  // namespace z39
