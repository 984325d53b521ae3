// An updater executable run as a process of its own on the offscreen platform, watched while
// it runs: its output as it comes, signals sent to it, its end.
#ifndef KA_TESTS_E2E_PROCESSSUPPORT_H
#define KA_TESTS_E2E_PROCESSSUPPORT_H

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace katest {

// Starts a helper program that must not outlive the test: one left running after a crash
// would hold the test's output open and keep its runner waiting until the time-out. The
// kernel ends it when the test goes (util-linux's setpriv sets that up before the program
// starts, which no code of this process has to do in the forked child).
inline void StartEndingWithTheTest(QProcess& process, const QString& program,
                                   const QStringList& arguments) {
    process.start("setpriv", QStringList{"--pdeathsig", "KILL", "--", program} + arguments);
}

// Longest any one wait may take; the sanitizer builds are slow.
inline constexpr int kDeadlineMs = 120000;

class WatchedProcess {
  public:
    // Extra environment settings come on top of this process's own; the removed ones go
    // (the offscreen platform's too, for a program that must run with no platform at all).
    explicit WatchedProcess(std::vector<std::pair<QString, QString>> environment = {},
                            const QStringList& removed = {}) {
        QProcessEnvironment settings = QProcessEnvironment::systemEnvironment();
        settings.insert("QT_QPA_PLATFORM", "offscreen");
        for (const auto& [name, value] : environment) {
            settings.insert(name, value);
        }
        for (const QString& name : removed) {
            settings.remove(name);
        }
        _process.setProcessEnvironment(settings);
    }
    ~WatchedProcess() {
        if (_process.state() != QProcess::NotRunning) {
            _process.kill();
            _process.waitForFinished(10000);
        }
    }
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    // Standard output goes to the file rather than a pipe (as for a log the user keeps).
    void SendOutputTo(const QString& path) { _process.setStandardOutputFile(path); }
    // Standard output goes down a pipe into the reader (started after this process).
    void PipeOutputTo(QProcess& reader) {
        _process.setStandardOutputProcess(&reader);
        _outputPiped = true;
    }

    // The process gets a process group of its own, as a shell's job does: a stop signal then
    // stops it (the kernel discards one sent to a group whose leader's parent is elsewhere).
    void OwnProcessGroup() {
        _process.setChildProcessModifier([] { setpgid(0, 0); });
    }

    bool Start(const QString& program, const QStringList& arguments) {
        _process.start(program, arguments);
        if (!_process.waitForStarted(kDeadlineMs)) {
            return false;
        }
        return true;
    }

    // Whether standard output (or the file it goes to) holds the text within the deadline.
    bool WaitForOutput(const std::string& text, const QString& outputFile = {}) {
        return QTest::qWaitFor(
                   [&] {
                       Collect();
                       const std::string seen = outputFile.isEmpty() ? _out : FileText(outputFile);
                       return seen.find(text) != std::string::npos ||
                              _process.state() == QProcess::NotRunning;
                   },
                   kDeadlineMs) &&
               (outputFile.isEmpty() ? _out : FileText(outputFile)).find(text) != std::string::npos;
    }

    void Signal(int signalNumber) {
        ::kill(static_cast<pid_t>(_process.processId()), signalNumber);
    }

    // Whether the process ended within the deadline.
    bool WaitForEnd() {
        const bool ended = QTest::qWaitFor(
            [&] {
                Collect();
                return _process.state() == QProcess::NotRunning;
            },
            kDeadlineMs);
        Collect();
        return ended;
    }

    // Whether the process stops (by a stop signal) within the deadline, while it runs.
    bool WaitForStop() {
        const std::string stat = "/proc/" + std::to_string(_process.processId()) + "/stat";
        const auto stopped = [&] {
            const std::string text = FileText(QString::fromStdString(stat));
            const auto state = text.rfind(") ");
            return state != std::string::npos && text.substr(state + 2, 1) == "T";
        };
        return QTest::qWaitFor(
                   [&] {
                       Collect();
                       return stopped() || _process.state() == QProcess::NotRunning;
                   },
                   kDeadlineMs) &&
               stopped();
    }

    // Whether the process ended within the deadline, sent SIGCONT all the while (as a shell's
    // fg goes on with a job that stopped).
    bool ContinueToEnd() {
        const bool ended = QTest::qWaitFor(
            [&] {
                Signal(SIGCONT);
                Collect();
                return _process.state() == QProcess::NotRunning;
            },
            kDeadlineMs);
        Collect();
        return ended;
    }

    bool Crashed() const { return _process.exitStatus() == QProcess::CrashExit; }
    int ExitCode() const { return Crashed() ? -1 : _process.exitCode(); }
    // The signal that ended the process, or 0 when it ended on its own.
    int EndingSignal() const { return Crashed() ? _process.exitCode() : 0; }
    const std::string& Out() const { return _out; }
    const std::string& Err() const { return _err; }

    static std::string FileText(const QString& path) {
        std::ifstream in(path.toStdString());
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    void Collect() {
        if (!_outputPiped) {
            _out += _process.readAllStandardOutput().toStdString();
        }
        _err += _process.readAllStandardError().toStdString();
    }

    QProcess _process;
    bool _outputPiped = false;
    std::string _out;
    std::string _err;
};

// A system bus that takes every connection and never says a word: a listening socket nobody
// accepts from (the kernel completes the connections), named as the system bus in this
// process's environment, and so in that of the programs it starts, while it lives.
class SilentSystemBus {
  public:
    SilentSystemBus() {
        const std::string path = _directory.filePath("system_bus_socket").toStdString();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!_directory.isValid() || path.size() >= sizeof address.sun_path) {
            return;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        _socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (_socket < 0 ||
            bind(_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(_socket, 64) != 0) {
            return;
        }
        _previousAddress = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str());
        _ready = true;
    }
    ~SilentSystemBus() {
        if (_ready) {
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", _previousAddress);
        }
        if (_socket >= 0) {
            close(_socket);
        }
    }
    SilentSystemBus(const SilentSystemBus&) = delete;
    SilentSystemBus& operator=(const SilentSystemBus&) = delete;

    bool Ready() const { return _ready; }

  private:
    QTemporaryDir _directory;
    int _socket = -1;
    QByteArray _previousAddress;
    bool _ready = false;
};

inline std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The text of a field of one trace line: "name":"text" or "name":number.
inline std::string Field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto at = line.find(key);
    if (at == std::string::npos) {
        return {};
    }
    auto begin = at + key.size();
    if (line[begin] == '"') {
        ++begin;
        return line.substr(begin, line.find('"', begin) - begin);
    }
    const auto end = line.find_first_of(",}", begin);
    return line.substr(begin, end - begin);
}

}  // namespace katest

#endif
