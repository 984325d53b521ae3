// Inside of the desktop platform layer: what the opaque Carbon handles are over Qt.
// Only the layer's own sources and its white-box tests include this.
#ifndef KA_PLATFORM_GUI_GUIINTERNALS_H
#define KA_PLATFORM_GUI_GUIINTERNALS_H

#include <Carbon/Carbon.h>
#include <kaplatform/ApplicationTermination.h>
#include <kaplatform/PlatformSeams.h>

#include <QEventLoop>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

class QMenu;
class QMenuBar;
class QComboBox;

struct OpaqueEventHandlerRef {
    OpaqueEventTargetRef* target = nullptr;
    EventHandlerUPP handler = nullptr;
    std::vector<EventTypeSpec> types;
    void* userData = nullptr;
    bool removed = false;
};

struct OpaqueEventTargetRef {
    // Latest installed first.
    std::vector<std::shared_ptr<OpaqueEventHandlerRef>> handlers;
    OpaqueEventTargetRef* container = nullptr;
    // What the platform does with an event no installed handler took.
    std::function<OSStatus(EventRef)> standardHandler;

    ~OpaqueEventTargetRef();
};

struct OpaqueEventRef {
    struct Parameter {
        EventParamType type;
        std::vector<unsigned char> bytes;
    };
    UInt32 eventClass = 0;
    UInt32 kind = 0;
    EventTime time = 0;
    EventAttributes attributes = 0;
    int referenceCount = 1;
    std::map<EventParamName, Parameter> parameters;
};

struct OpaqueEventLoopTimerRef {
    EventLoopTimerUPP procedure = nullptr;
    void* userData = nullptr;
    EventTimerInterval fireDelay = 0;
    EventTimerInterval interval = 0;
    kaplatform::EventLoopTimerDriver* driver = nullptr;  // null: the QTimer below
    std::unique_ptr<QTimer> qtimer;
    bool firstFirePending = true;
    bool callQueued = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

struct OpaqueMenuRef {
    QPointer<QMenu> menu;
    QPointer<QComboBox> popup;
};

struct OpaqueControlRef {
    QPointer<QWidget> widget;
    ControlID id{0, 0};
    OpaqueWindowPtr* window = nullptr;
    OpaqueEventTargetRef target;
    ControlActionUPP action = nullptr;
    SInt32 reference = 0;
    // For controls without a value of their own (texts, plain buttons).
    SInt32 value = 0;
    SInt32 minimum = 0;
    SInt32 maximum = 0;
    std::unique_ptr<OpaqueMenuRef> popupMenu;
    // Ours, cut when the window is disposed of.
    std::vector<QMetaObject::Connection> connections;
};

struct OpaqueWindowPtr {
    QPointer<QWidget> widget;
    OpaqueEventTargetRef target;
    std::vector<std::unique_ptr<OpaqueControlRef>> controls;
    QPointer<QObject> closeFilter;
    bool closeAccepted = false;
};

namespace kaplatform::gui {

// The high word of a process serial number says whose process it is: {1, pid} a process of
// the system, {2, n} a pretend one.
inline constexpr UInt32 kSystemProcessHigh = 1;
inline constexpr UInt32 kPretendProcessHigh = 2;

// Creates the QApplication when the program runs without one (a QCoreApplication for a
// program without windows).
void EnsureApplication();

// Standard output as the journal keeps it. The journal keeps every line for good, and the
// window's idle tick writes the same discovery lines twice a second. What a timer's procedure
// writes from the main thread is held until it returns and left out when it is the same as
// the last such lines written; before anything else is written, one line says how often they
// were left out. Lines of other threads and lines written outside a timer pass at once.
class JournalLineFilter final : public std::streambuf {
  public:
    explicit JournalLineFilter(std::streambuf* journal);
    // Writes what is held and the count of what was left out.
    ~JournalLineFilter() override;
    JournalLineFilter(const JournalLineFilter&) = delete;
    JournalLineFilter& operator=(const JournalLineFilter&) = delete;

    // Around each run of a timer's procedure; a run nested in another (a modal loop inside
    // a tick) ends the outer run's lines so far.
    void BeginTimerProcedure();
    void EndTimerProcedure();
    // Writes the count of what was left out, if anything was.
    void WriteLeftOutCount();

  protected:
    int_type overflow(int_type character) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

  private:
    void Put(const char* text, std::size_t count);
    void EndHeldLines();
    void WriteCountLocked();

    std::streambuf* _journal;
    std::mutex _mutex;
    std::thread::id _holder;
    int _depth = 0;
    std::string _held;
    std::string _lastWritten;
    unsigned long _leftOut = 0;
};

// True when JOURNAL_STREAM names standard output's device and inode.
bool StandardOutputIsJournal();
// The filter over std::cout while standard output is the journal (null otherwise); the timer
// procedures tell it when they run.
JournalLineFilter* StandardOutputJournalFilter();
void FilterStandardOutputForJournal(bool filter);

// The program said it shows no window and no alert (InitApplicationProcessWithoutWindows).
bool RunsWithoutWindows();

// The program's own icon, for its windows.
QIcon ApplicationIcon();

// UTF-8 text of a CFString ("" for null).
std::string Utf8FromCFString(CFStringRef string);
QString QStringFromCFString(CFStringRef string);
// A new CFString (reference count one) holding the text.
CFStringRef CreateCFString(const QString& text);

// The menu handle of a QMenu, made on first use; lives as long as the layer.
MenuRef MenuRefFor(QMenu* menu);

// Sends an event the platform made and releases it.
OSStatus SendNewEvent(UInt32 eventClass, UInt32 kind, EventTargetRef target,
                      const std::function<void(EventRef)>& fill = {});

// Requests the end of the running application event loop.
void RequestEventLoopQuit();

// Runs the action now, or, while an event is being dispatched, from the event loop once
// the dispatch is over (for what would free a target or widget still in use).
void DeferWhileDispatching(std::function<void()> action);

// Where the environment names no UTF-8 character locale, names the one Qt would switch to
// (LC_CTYPE), so that Qt starts in it without a word. Before any thread, and before Qt.
void ChooseUtf8CharacterLocale();

// While it lives, SIGTERM, SIGINT and SIGHUP reach the application target as
// kEventAppTerminationRequested from the event loop; afterwards they do what they did before.
class TerminationRequestWatch {
  public:
    TerminationRequestWatch();
    ~TerminationRequestWatch();
    TerminationRequestWatch(const TerminationRequestWatch&) = delete;
    TerminationRequestWatch& operator=(const TerminationRequestWatch&) = delete;

  private:
    struct Installed;
    std::unique_ptr<Installed> _installed;
};

// Return, Enter and Escape for a window whose description has a default push button (and a
// cancel button: the push button with the property windowCancelButton), and where its
// keyboard focus starts.
void InstallWindowKeys(QWidget* window);

// Standard handling for the window target (closing the only window ends the loop).
OSStatus StandardWindowHandler(OpaqueWindowPtr* window, EventRef event);

}  // namespace kaplatform::gui

#endif
