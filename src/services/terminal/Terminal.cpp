#include "Terminal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// An answer is a word; a longer line is read to its end but not kept.
constexpr std::size_t kLongestAnswer = 64;

int WriteAll(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(descriptor, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// The controlling terminal, open for as long as it lives.
class ControllingTerminal {
  public:
    ControllingTerminal() : _descriptor(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~ControllingTerminal() {
        if (_descriptor >= 0) {
            close(_descriptor);
        }
    }
    ControllingTerminal(const ControllingTerminal&) = delete;
    ControllingTerminal& operator=(const ControllingTerminal&) = delete;

    int Descriptor() const { return _descriptor; }

  private:
    int _descriptor;
};

// One line from the terminal without its line end; false at the end of the input before
// any line end, or when the read fails.
bool ReadAnswerLine(int terminal, std::string& line) {
    line.clear();
    for (;;) {
        char character = 0;
        const ssize_t count = read(terminal, &character, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        if (character == '\n') {
            return true;
        }
        if (line.size() < kLongestAnswer) {
            line.push_back(character);
        } else {
            // Too long to be a yes: the line says no whatever follows.
            line.assign(kLongestAnswer + 1, 'x');
        }
    }
}

}  // namespace

namespace katerminal {

Boolean TerminalIsInteractive(TerminalStream stream) {
    return isatty(static_cast<int>(stream)) == 1;
}

Boolean TerminalAskYesNo(const char* question) {
    if (question == nullptr || !TerminalIsInteractive(kTerminalStandardInput)) {
        return false;
    }
    const ControllingTerminal terminal;
    if (terminal.Descriptor() < 0) {
        return false;
    }
    // A key pressed before the question was there answers nothing.
    tcflush(terminal.Descriptor(), TCIFLUSH);
    if (WriteAll(terminal.Descriptor(), std::string(question) + " ") != 0) {
        return false;
    }
    std::string line;
    const bool answered = ReadAnswerLine(terminal.Descriptor(), line);
    if (!answered) {
        // The question's line is left open at an end of input.
        WriteAll(terminal.Descriptor(), "\n");
        return false;
    }
    return TerminalAnswerIsYes(line);
}

Boolean TerminalAnswerIsYes(const std::string& line) {
    const auto isBlank = [](char character) {
        return std::isspace(static_cast<unsigned char>(character)) != 0;
    };
    const auto begin = std::find_if_not(line.begin(), line.end(), isBlank);
    const auto end = std::find_if_not(line.rbegin(), line.rend(), isBlank).base();
    if (begin >= end) {
        return false;
    }
    std::string word(begin, end);
    std::transform(word.begin(), word.end(), word.begin(), [](char character) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    });
    return word == "y" || word == "yes";
}

int TerminalWriteAll(TerminalStream stream, std::string_view text) {
    return WriteAll(static_cast<int>(stream), text);
}

std::string TerminalRedrawnLine(const std::string& text) {
    return "\r" + text + "\033[K";
}

}  // namespace katerminal
