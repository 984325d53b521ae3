// The terminal a program was started from, for a program that is driven from one rather than
// from a window: whether its standard streams are a terminal, and a yes-or-no question asked
// there.
#ifndef KA_SERVICES_TERMINAL_TERMINAL_H
#define KA_SERVICES_TERMINAL_TERMINAL_H

#include <MacTypes.h>

#include <string>
#include <string_view>

namespace katerminal {

enum TerminalStream : int {
    kTerminalStandardInput = 0,
    kTerminalStandardOutput = 1,
    kTerminalStandardError = 2,
};

// Whether the stream is a terminal (not a file, a pipe or nothing at all).
Boolean TerminalIsInteractive(TerminalStream stream);

// Asks the question on the controlling terminal, followed by one space, and reads the answer
// line there; standard input must be a terminal (the user's, not a pipe or a file). Whatever
// standard output and standard error were sent to, the user sees the question. What was
// typed before the question was shown is discarded: only an answer to this question counts.
// true only for a yes (TerminalAnswerIsYes); anything else, no controlling terminal, the end
// of the input or a failed read is no.
Boolean TerminalAskYesNo(const char* question);

// Whether one line typed as an answer says yes: "y" or "yes" in any case, blanks around it
// allowed. Everything else, the empty line included, says no.
Boolean TerminalAnswerIsYes(const std::string& line);

// Writes the whole text on the stream, going on after an interrupted or a short write: 0, or
// the errno of the write that failed (nothing more is written then).
int TerminalWriteAll(TerminalStream stream, std::string_view text);

// What redraws the terminal's current line with the text: back to its start, the text, and the
// rest of the line cleared.
std::string TerminalRedrawnLine(const std::string& text);

}  // namespace katerminal

#endif
