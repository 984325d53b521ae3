// Termination signals as events of the application event loop, in this very process, and the
// rest of the process set-up: the character locale chosen before Qt starts.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>
#include <kaplatform/ApplicationTermination.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include <langinfo.h>
#include <locale.h>

namespace {

struct SignalScript {
    std::vector<int> toRaise;
    int handled = 0;
    bool keepRunning = true;
};

// Raises the script's signals from inside the loop, all at once.
void RaiseSignals(EventLoopTimerRef, void* userData) {
    for (const int signalNumber : static_cast<SignalScript*>(userData)->toRaise) {
        std::raise(signalNumber);
    }
}

OSStatus CountTerminationRequest(EventHandlerCallRef, EventRef, void* userData) {
    auto* script = static_cast<SignalScript*>(userData);
    ++script->handled;
    if (script->keepRunning && script->handled == static_cast<int>(script->toRaise.size())) {
        QuitApplicationEventLoop();
    }
    return script->keepRunning ? OSStatus{noErr} : OSStatus{eventNotHandledErr};
}

// A loop that nothing else would end must not hang the suite.
void GiveUp(EventLoopTimerRef, void* userData) {
    *static_cast<bool*>(userData) = true;
    QuitApplicationEventLoop();
}

void (*CurrentHandler(int signalNumber))(int) {
    struct sigaction current {};
    sigaction(signalNumber, nullptr, &current);
    return current.sa_handler;
}

}  // namespace

TEST(TerminationRequestTest, EachSignalReachesTheLoopAsAnEventAndTheLoopGoesOn) {
    SignalScript script;
    script.toRaise = {SIGTERM, SIGINT, SIGHUP};
    const EventTypeSpec request = {kEventClassApplication, kEventAppTerminationRequested};
    EventHandlerRef handler = nullptr;
    ASSERT_EQ(noErr, InstallEventHandler(GetApplicationEventTarget(), CountTerminationRequest, 1,
                                         &request, &script, &handler));
    katest::QuitObserver quits;
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(noErr,
              InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0, RaiseSignals, &script, &timer));
    RunApplicationEventLoop();
    RemoveEventLoopTimer(timer);
    RemoveEventHandler(handler);
    EXPECT_EQ(3, script.handled) << "one event for each signal, the process alive";
    EXPECT_EQ(1, quits.count) << "only the handler's own quit ended the loop";
    // Outside the loop nobody would read them: the signals do what they did before.
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        EXPECT_EQ(SIG_DFL, CurrentHandler(signalNumber)) << signalNumber;
    }
}

TEST(TerminationRequestTest, UnhandledTheRequestEndsTheLoop) {
    SignalScript script;
    script.toRaise = {SIGTERM};
    script.keepRunning = false;
    const EventTypeSpec request = {kEventClassApplication, kEventAppTerminationRequested};
    EventHandlerRef handler = nullptr;
    ASSERT_EQ(noErr, InstallEventHandler(GetApplicationEventTarget(), CountTerminationRequest, 1,
                                         &request, &script, &handler));
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(noErr,
              InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0, RaiseSignals, &script, &timer));
    bool gaveUp = false;
    EventLoopTimerRef deadline = nullptr;
    ASSERT_EQ(noErr,
              InstallEventLoopTimer(GetCurrentEventLoop(), 60, 0, GiveUp, &gaveUp, &deadline));
    RunApplicationEventLoop();
    RemoveEventLoopTimer(deadline);
    RemoveEventLoopTimer(timer);
    RemoveEventHandler(handler);
    EXPECT_EQ(1, script.handled);
    EXPECT_FALSE(gaveUp) << "the request left to the standard handler ends the loop";
}

namespace {

// Every locale setting of this process's environment, put back as it was when it goes.
class LocaleEnvironment {
  public:
    static constexpr const char* kNames[] = {
        "LANG",           "LC_ALL",     "LC_CTYPE", "LC_COLLATE",  "LC_MESSAGES",
        "LC_MONETARY",    "LC_NUMERIC", "LC_TIME",  "LC_ADDRESS",  "LC_IDENTIFICATION",
        "LC_MEASUREMENT", "LC_NAME",    "LC_PAPER", "LC_TELEPHONE"};

    LocaleEnvironment() {
        for (const char* name : kNames) {
            if (const char* value = std::getenv(name)) {
                _saved[name] = value;
            }
        }
    }
    ~LocaleEnvironment() { Set(_saved); }
    LocaleEnvironment(const LocaleEnvironment&) = delete;
    LocaleEnvironment& operator=(const LocaleEnvironment&) = delete;

    // Exactly these settings, no other.
    static void Set(const std::map<std::string, std::string>& settings) {
        for (const char* name : kNames) {
            const auto setting = settings.find(name);
            if (setting == settings.end()) {
                unsetenv(name);
            } else {
                setenv(name, setting->second.c_str(), 1);
            }
        }
    }
    static std::optional<std::string> Get(const char* name) {
        const char* value = std::getenv(name);
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    }

  private:
    std::map<std::string, std::string> _saved;
};

// What the platform reads when it starts: setlocale(LC_ALL, "") and its character set.
std::string CodesetTheEnvironmentGives() {
    locale_t environment = newlocale(LC_ALL_MASK, "", nullptr);
    if (environment == nullptr) {
        return "(a locale the environment names is missing)";
    }
    std::string codeset = nl_langinfo_l(CODESET, environment);
    freelocale(environment);
    return codeset;
}

TEST(ProcessSetUpTest, AnEnvironmentWithoutAUtf8CharacterLocaleNamesTheOneQtWouldChoose) {
    const LocaleEnvironment restore;
    using Settings = std::map<std::string, std::string>;
    struct Case {
        Settings given;
        Settings expected;
    };
    const std::vector<Case> cases = {
        // A minimal install, a container, cron.
        {{}, {{"LC_CTYPE", "C.UTF-8"}}},
        {{{"LANG", "C"}}, {{"LANG", "C"}, {"LC_CTYPE", "C.UTF-8"}}},
        // LC_ALL would outrank the choice: the other categories keep what it named.
        {{{"LC_ALL", "POSIX"}, {"LANG", "C.UTF-8"}},
         {{"LANG", "C.UTF-8"},
          {"LC_CTYPE", "C.UTF-8"},
          {"LC_COLLATE", "POSIX"},
          {"LC_MESSAGES", "POSIX"},
          {"LC_MONETARY", "POSIX"},
          {"LC_NUMERIC", "POSIX"},
          {"LC_TIME", "POSIX"},
          {"LC_ADDRESS", "POSIX"},
          {"LC_IDENTIFICATION", "POSIX"},
          {"LC_MEASUREMENT", "POSIX"},
          {"LC_NAME", "POSIX"},
          {"LC_PAPER", "POSIX"},
          {"LC_TELEPHONE", "POSIX"}}},
        // A locale that is not installed leaves the C locale everywhere.
        {{{"LANG", "xx_NOWHERE.ISO-8859-1"}, {"LC_TIME", "C"}},
         {{"LANG", "C"}, {"LC_CTYPE", "C.UTF-8"}}},
        // A UTF-8 one is the user's and stays as it is.
        {{{"LANG", "C.UTF-8"}, {"LC_NUMERIC", "C"}}, {{"LANG", "C.UTF-8"}, {"LC_NUMERIC", "C"}}},
    };
    for (const Case& check : cases) {
        LocaleEnvironment::Set(check.given);
        SCOPED_TRACE(check.given.empty()
                         ? std::string("no setting")
                         : check.given.begin()->first + "=" + check.given.begin()->second);
        kaplatform::gui::ChooseUtf8CharacterLocale();
        EXPECT_EQ("UTF-8", CodesetTheEnvironmentGives());
        for (const char* name : LocaleEnvironment::kNames) {
            const auto expected = check.expected.find(name);
            EXPECT_EQ(
                expected == check.expected.end() ? std::nullopt : std::optional(expected->second),
                LocaleEnvironment::Get(name))
                << name;
        }
    }
}

}  // namespace
